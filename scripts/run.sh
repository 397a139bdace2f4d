#!/usr/bin/env bash
# Builds the release server and runs it in the foreground in its data folder ($NUVRA_HOME, else
# run/data in the repository). Ctrl-C stops it the way closing its window does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"

build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target orvsrv32

data="${NUVRA_HOME:-$root/run/data}"
mkdir -p "$data"
echo "run: orvsrv32 in $data (Ctrl-C stops it)"
exec "$build/server/orvsrv32" --data "$data"
