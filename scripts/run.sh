#!/usr/bin/env bash
# The system on a simulated network: nuvra-sim plays the device line (4 ticket printers, 4 main
# displays, 1 card reader) on a pty, orvsrv32 drives it from its data folder ($NUVRA_HOME, else
# run/data in the repository) and serves a TCP/IP host on loopback, and nvcmd listens to the
# server's events. Every ticket a simulated customer draws at printer n is called on main display n
# ("DISP n ..."), so events and display texts both show. Ctrl-C (or SIGTERM) stops everything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    cat <<EOF
usage: scripts/run.sh [--seconds N] [--customers SECONDS] [--port PORT] [--seed N]
  --seconds N          stop by itself after N seconds (default: run until Ctrl-C)
  --customers SECONDS  mean interval between simulated customers (default 3)
  --port PORT          TCP command port of the server; events go to PORT+1 (default 5500)
  --seed N             seed of the simulated customers (default: random)
The binaries are built in build/release unless NUVRA_ORVSRV32, NUVRA_SIM and NUVRA_NVCMD name them.
EOF
}

seconds=0
customers=3
port=5500
seed=$RANDOM
while (($#)); do
    case $1 in
    --seconds | --customers | --port | --seed)
        (($# >= 2)) || { usage >&2; exit 2; }
        printf -v "${1#--}" '%s' "$2"
        shift 2
        ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done
[[ $seconds =~ ^[0-9]+$ ]] || { echo "run: --seconds takes whole seconds" >&2; exit 2; }
[[ $customers =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "run: --customers takes seconds" >&2; exit 2; }
[[ $seed =~ ^[0-9]+$ ]] || { echo "run: --seed takes a number" >&2; exit 2; }
if ! [[ $port =~ ^[0-9]+$ ]] || ((port < 1024 || port > 65534)); then
    echo "run: --port takes 1024..65534" >&2
    exit 2
fi
event_port=$((port + 1))

if [[ -n ${NUVRA_ORVSRV32:-} && -n ${NUVRA_SIM:-} && -n ${NUVRA_NVCMD:-} ]]; then
    server_bin=$NUVRA_ORVSRV32 sim_bin=$NUVRA_SIM nvcmd_bin=$NUVRA_NVCMD
else
    "$root/scripts/bootstrap.sh"
    build="$root/build/release"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target orvsrv32 nuvra-sim nvcmd nvapi32
    server_bin=$build/server/orvsrv32 sim_bin=$build/sim/nuvra-sim nvcmd_bin=$build/tools/nvcmd
fi

data="${NUVRA_HOME:-$root/run/data}"
mkdir -p "$data"
data=$(cd "$data" && pwd)

say() { printf '%(%H:%M:%S)T %-8s %s\n' -1 "$1" "$2"; }

# Sets the given "SECTION|KEY|VALUE" entries in an INI file, keeping everything else: a key is
# replaced where it stands (later copies of it dropped), added at the end of its section, or added
# with a new section. Lines end in CR LF like the server's own.
ini_set() {
    local file=$1
    shift
    [[ -f $file ]] || : >"$file"
    awk -v entries="$(printf '%s\n' "$@")" '
        function norm(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return toupper(s) }
        function out(s) { printf "%s\r\n", s; printed = 1 }
        function put(i) { out(key[i] " = " val[i]); done[i] = 1 }
        function blanks() { for (; held > 0; held--) out("") }
        function finish_section(   i) {
            for (i = 1; i <= n; i++) if (sec[i] == cur && !done[i]) put(i)
            blanks()
        }
        BEGIN {
            n = split(entries, e, "\n")
            for (i = 1; i <= n; i++) {
                split(e[i], f, "|"); sec[i] = norm(f[1]); key[i] = f[2]; val[i] = f[3]; name[i] = f[1]
            }
            cur = ""
        }
        {
            line = $0; sub(/\r$/, "", line)
            if (line ~ /^[ \t]*$/) { held++; next }
            if (line ~ /^[ \t]*\[.*\][ \t]*$/) {
                finish_section()
                s = line; sub(/^[ \t]*\[/, "", s); sub(/\][ \t]*$/, "", s); cur = norm(s); seen[cur] = 1
                out(line)
                next
            }
            blanks()
            if (index(line, "=") > 0) {
                k = line; sub(/=.*/, "", k); k = norm(k)
                for (i = 1; i <= n; i++) if (sec[i] == cur && toupper(key[i]) == k) {
                    if (!done[i]) put(i)
                    next
                }
            }
            out(line)
        }
        END {
            finish_section()
            for (i = 1; i <= n; i++) if (!done[i]) {
                if (!(sec[i] in seen)) {
                    if (printed) out("")
                    out("[" name[i] "]")
                    seen[sec[i]] = 1
                }
                for (j = i; j <= n; j++) if (sec[j] == sec[i] && !done[j]) put(j)
            }
        }' "$file" >"$file.new"
    mv "$file.new" "$file"
}

if (exec 5<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    say run "something already listens on 127.0.0.1:$port (another run?); choose another --port"
    exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/nuvra-run.XXXXXX")
children=() # stopped in reverse order: nvcmd, then the server, then the simulator
relays=()
cleaning=0

stop_child() {
    local pid=$1 name=$2 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        say run "$name (pid $pid) did not stop on SIGTERM; killed"
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    ((cleaning)) && return
    cleaning=1
    trap '' INT TERM HUP PIPE
    local i
    { exec 4>&-; } 2>/dev/null || true
    for ((i = ${#children[@]} - 1; i >= 0; i--)); do
        stop_child "${children[i]%%:*}" "${children[i]#*:}"
    done
    { exec 3<&-; } 2>/dev/null || true
    # A relay ends at the end of its child's output; one whose child never started waits in vain.
    local r alive
    for ((i = 0; i < 20; i++)); do
        alive=0
        for r in "${relays[@]}"; do kill -0 "$r" 2>/dev/null && alive=1; done
        ((alive)) || break
        sleep 0.1
    done
    for i in "${relays[@]}"; do
        kill -TERM "$i" 2>/dev/null || true
        wait "$i" 2>/dev/null || true
    done
    rm -rf "$scratch"
    say run "stopped"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
trap 'exit 141' PIPE # the terminal or the reader of the output went away

# Copies a child's output lines with the time and the source in front; the simulator's
# "Dn: shows ..." lines are the display texts. Ends when the child's end of the fifo closes.
relay() {
    trap - EXIT TERM HUP PIPE
    trap '' INT
    local source=$1 line
    while IFS= read -r line; do
        line=${line#nuvra-sim: }
        if [[ $source == sim && $line =~ ^D[0-9]+:\ shows ]]; then
            say display "${line/: shows/ shows}"
        else
            say "$source" "$line"
        fi
    done
}

# A child runs in a session of its own, so that Ctrl-C reaches only this script, which then stops the
# children in order (the server before the line it drives).
start() { # name, standard input, standard output, standard error, command...
    local name=$1 in=$2 out=$3 err=$4
    shift 4
    (
        trap - EXIT INT TERM HUP PIPE
        exec setsid "$@"
    ) <"$in" >"$out" 2>"$err" &
    children+=("$!:$name")
    say run "started $name (pid $!)"
}

# Customers are let in through the control socket once the event listener is up (an event datagram
# that finds no listener is lost); without socat they come from the start.
customers_now=()
command -v socat >/dev/null || customers_now=(--customers "$customers")

mkfifo "$scratch/sim.err" "$scratch/server.out" "$scratch/commands" "$scratch/events"
relay sim <"$scratch/sim.err" &
relays+=($!)
start nuvra-sim /dev/null "$scratch/sim.out" "$scratch/sim.err" \
    "$sim_bin" --no-stdin --control "$scratch/sim.sock" --pace --seed "$seed" "${customers_now[@]}"
sim_pid=${children[-1]%%:*}

pty=
for ((i = 0; i < 100; i++)); do
    IFS= read -r first 2>/dev/null <"$scratch/sim.out" || true
    [[ ${first:-} == "PTY "* ]] && pty=${first#PTY } && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
[[ -n $pty ]] || { say run "nuvra-sim did not report its pty"; exit 1; }

# The settings this script owns; the server completes the rest with its defaults. Device ids are
# the server's defaults, which the simulator's default network uses too.
ini_set "$data/ZSYS.INI" \
    "PORTS|COM1|$pty" "IO|PORT|1" \
    "PRINTER|MAX|4" "PRINTER|ID_NO_START|89" \
    "DISPLAY|MAX|4" "DISPLAY|ID_NO_START|81" \
    "CARD_READER|MAX|1" "CARD_READER|ID_NO|120" "CARD_READER|UNIT_NO_START|1" \
    "HOST|MAX|1" "HOST|EVENTS|1-6" "HOST|HOST1|TCP_IP,$port,$event_port,10,0,127.255.255.255"
say run "data folder $data, link port COM1 = $pty"

relay server <"$scratch/server.out" &
relays+=($!)
start orvsrv32 /dev/null "$scratch/server.out" "$scratch/server.out" "$server_bin" --data "$data"
server_pid=${children[-1]%%:*}

for ((i = 0; i < 150; i++)); do
    kill -0 "$server_pid" 2>/dev/null || break
    (exec 5<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
if ! (exec 5<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    say run "orvsrv32 does not take commands on 127.0.0.1:$port (see $data/LOG/ERROR.LOG)"
    exit 1
fi

# One nvcmd holds the event listener and takes this script's commands on standard input.
connection="TCP_IP,127.0.0.1,$port,$event_port"
start nvcmd "$scratch/commands" "$scratch/events" "$scratch/events" \
    "$nvcmd_bin" --events --wait 1000000000 -c "$connection"
exec 4>"$scratch/commands" 3<"$scratch/events"
echo GV >&4
if IFS= read -r -t 15 -u 3 line; then
    say nvcmd "$line"
fi
if ((${#customers_now[@]} == 0)); then
    answer=$(socat - "UNIX-CONNECT:$scratch/sim.sock" <<<"CUSTOMERS $customers" 2>&1) || true
    say sim "$answer"
fi

say run "commands from another terminal: $nvcmd_bin -c TCP_IP,127.0.0.1,$port,0 'DISP 1 HELLO'"
say run "simulator control: socat - UNIX-CONNECT:$scratch/sim.sock (then e.g. PRESS 2 1, EMPTY 3, HELP)"
((seconds > 0)) && say run "stops after $seconds s" || say run "Ctrl-C stops it"

# What the printers' status bits and the card readers raise.
event_names=([1]="ticket printed" [2]="paper low" [3]="out of tickets" [4]="new roll loaded" [5]="paper jam"
    [6]="printer restarted or card read")
declare -A served=()
pending=0 # answers to this script's own DISP commands, not shown
end=$((SECONDS + seconds))
while :; do
    if IFS= read -r -t 1 -u 3 line; then
        if [[ $line =~ ^EVENT\ ([0-9]+)\ ([0-9]+) ]]; then
            event=${BASH_REMATCH[1]} unit=${BASH_REMATCH[2]}
            say event "$line  (${event_names[event]:-event $event}, unit $unit)"
            if ((event == 1 && unit <= 4)); then
                served[$unit]=$((${served[$unit]:-0} + 1))
                printf 'DISP %d NOW SERVING %03d\n' "$unit" "${served[$unit]}" >&4
                pending=$((pending + 1))
            fi
        elif ((pending > 0)) && [[ $line == Y ]]; then
            pending=$((pending - 1))
        else
            ((pending > 0)) && [[ $line == "nvcmd: no answer to \"DISP "* ]] && pending=$((pending - 1))
            say nvcmd "$line"
        fi
    elif (($? <= 128)); then
        say run "nvcmd ended"
        exit 1
    fi
    for child in "${children[@]}"; do
        if ! kill -0 "${child%%:*}" 2>/dev/null; then
            say run "${child#*:} ended"
            exit 1
        fi
    done
    ((seconds > 0 && SECONDS >= end)) && exit 0
done
