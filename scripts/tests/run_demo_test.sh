#!/usr/bin/env bash
# scripts/run.sh on the binaries of the build under test: a bounded run must show ticket events and
# display texts and leave no child behind; a second run on the same data folder, stopped by SIGTERM,
# must do the same and keep one copy of each setting it owns.
# usage: run_demo_test.sh ORVSRV32 NUVRA_SIM NVCMD
set -uo pipefail
(($# == 3)) || { echo "usage: $0 ORVSRV32 NUVRA_SIM NVCMD" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
export NUVRA_ORVSRV32=$1 NUVRA_SIM=$2 NUVRA_NVCMD=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/nuvra-demo-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
export NUVRA_HOME=$work/data
export NUVRA_WINDOW_NAMESPACE=demo-test-$$

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A command port with nothing on it or on the event port after it.
port_free() { ! (exec 5<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && ! (exec 5<>"/dev/tcp/127.0.0.1/$(($1 + 1))") 2>/dev/null; }
port=$((20000 + ($$ % 6000) * 2))
for ((i = 0; i < 20; i++)); do
    port_free "$port" && break
    port=$((port + 2))
done

# Every child the run started has ended.
check_children() {
    local log=$1 pids pid
    pids=$(sed -n 's/.* started [a-z0-9-]* (pid \([0-9]*\))$/\1/p' "$log")
    [[ $(wc -w <<<"$pids") == 3 ]] || fail "expected 3 children in $log, found: $pids"
    for pid in $pids; do
        if kill -0 "$pid" 2>/dev/null; then
            fail "child $pid is still running: $(ps -o cmd= -p "$pid")"
            kill -KILL "$pid" 2>/dev/null
        fi
    done
}

check_flow() {
    local log=$1
    grep -Eq ' event +EVENT 1 [1-4] ' "$log" || fail "no ticket event in $log"
    grep -Eq ' display +D[1-4] shows "NOW SERVING [0-9]{3}"' "$log" || fail "no display text in $log"
    grep -Eq ' run +stopped$' "$log" || fail "the run did not report its stop"
    ! grep -Eq 'Sanitizer|runtime error' "$log" || fail "a sanitizer reported in $log"
}

# 1. Bounded by --seconds.
timeout 60 "$here/../run.sh" --seconds 12 --customers 0.3 --port "$port" --seed 5 >"$work/first.log" 2>&1
status=$?
((status == 0)) || fail "bounded run ended with $status"
check_flow "$work/first.log"
check_children "$work/first.log"

# 2. The same data folder again, stopped by SIGTERM once events flowed.
"$here/../run.sh" --customers 0.3 --port "$port" --seed 6 >"$work/second.log" 2>&1 &
run=$!
for ((i = 0; i < 300; i++)); do
    grep -q ' display .*NOW SERVING' "$work/second.log" && break
    kill -0 "$run" 2>/dev/null || break
    sleep 0.1
done
kill -TERM "$run" 2>/dev/null
for ((i = 0; i < 300; i++)); do
    kill -0 "$run" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$run" 2>/dev/null; then
    fail "run.sh did not end within 30 s of SIGTERM"
    kill -KILL "$run"
fi
wait "$run"
status=$?
((status == 143)) || fail "the run stopped by SIGTERM ended with $status"
check_flow "$work/second.log"
check_children "$work/second.log"

ini=$NUVRA_HOME/ZSYS.INI
for key in COM1 HOST1 EVENTS; do
    n=$(grep -c "^$key *=" "$ini")
    ((n == 1)) || fail "$key appears $n times in ZSYS.INI"
done
pty=$(sed -n 's/.*link port COM1 = //p' "$work/second.log")
grep -q "^COM1 = $pty"$'\r'"\$" "$ini" || fail "COM1 is not the second run's pty $pty"
grep -q "^HOST1 = TCP_IP,$port,$((port + 1)),10,0,127.255.255.255"$'\r'"\$" "$ini" || fail "HOST1 not as written"

if ((failures)); then
    echo "--- first run"; cat "$work/first.log"
    echo "--- second run"; cat "$work/second.log"
    exit 1
fi
echo "PASS: events and display texts flowed, every child ended, settings rewritten in place"
