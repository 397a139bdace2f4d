#!/usr/bin/env bash
# Installs what the benchmarks compare against: redis-server and redis-benchmark (bench/tcp_gv).
set -euo pipefail
if command -v redis-server >/dev/null && command -v redis-benchmark >/dev/null; then
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends redis-server redis-tools >/dev/null
