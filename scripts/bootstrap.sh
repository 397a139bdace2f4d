#!/usr/bin/env bash
# Installs what the build, the tests and the main job need on Debian 12.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    socat
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "bootstrap: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
