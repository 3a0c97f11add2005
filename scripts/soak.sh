#!/bin/bash
# scripts/soak.sh MINUTES: the headless Core and the Connect peer program for that long. The peer is
# SIGKILLed or SIGTERMed at random intervals and started again, sometimes with another transport set;
# tuning edits and transport-file deletions happen in between. Every restart must bring all enabled
# transports back within 2 s. Ends with the line
#   soak: restarts=N recovered=N max_recovery_ms=N threads_delta=N fds_delta=N rss_delta_kib=N log_kib=N
# and fails when a bound is broken. Uses the machine-wide names: run no tests meanwhile.
set -u
cd "$(dirname "$0")/.."
minutes=${1:-10}
build=${SOAK_BUILD:-build}

if [ ! -x "$build/bench/kvfakeshm-headless-core" ] || [ ! -x "$build/connectpeer/kvfakeshm-connect-peer" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
    cmake --build "$build" -j"$(nproc)" --target kvfakeshm-headless-core kvfakeshm-connect-peer > /dev/null || exit 1
fi
core_bin=$build/bench/kvfakeshm-headless-core
peer_bin=$build/connectpeer/kvfakeshm-connect-peer

docs=$(mktemp -d /tmp/kvsoak.XXXXXX)
export XDG_DOCUMENTS_DIR=$docs
folder=$docs/Korvanta
mkdir -p "$folder"
out=$docs/core.out
peer=""
trap 'kill -9 $peer $core 2>/dev/null; rm -rf "$docs"' EXIT

"$core_bin" --print-ms 20 --warmup-ms 0 > "$out" 2>/dev/null &
core=$!

threads() { awk '/^Threads:/ {print $2}' /proc/$core/status; }
fds() { ls /proc/$core/fd | wc -l; }
rss() { awk '/^VmRSS:/ {print $2}' /proc/$core/status; }
now_ms() { date +%s%3N; }
# The last figures line: alive flags of ipc, tcp, shm.
alive() { tail -n 1 "$out" | grep -o 'alive=[01]' | tr -d 'alive=' | tr -d '\n'; }
want() {
    local ipc=0 tcp=0 shm=0
    [[ $1 == *ipc* ]] && ipc=1
    [[ $1 == *tcp* ]] && tcp=1
    [[ $1 == *shm* ]] && shm=1
    echo "$ipc$tcp$shm"
}

start_peer() {
    "$peer_bin" --transports "$1" > /dev/null 2>&1 < /dev/null &
    peer=$!
}
stop_peer() {  # SIGTERM: the peer must end within 2 s
    kill -TERM "$peer" 2>/dev/null
    for _ in $(seq 1 200); do
        kill -0 "$peer" 2>/dev/null || { wait "$peer" 2>/dev/null; return 0; }
        sleep 0.01
    done
    echo "soak: the peer did not end within 2 s of SIGTERM" >&2
    kill -9 "$peer"; wait "$peer" 2>/dev/null
    return 1
}

# The baseline is taken once a first peer has come and gone: NNG starts its threads and its poller on
# the first socket and keeps them for the life of the process.
sleep 1
start_peer "ipc,tcp,shm"; sleep 1
stop_peer || exit 1
sleep 2
thr0=$(threads); fds0=$(fds); rss0=$(rss)
sets=("ipc,tcp,shm" "ipc,tcp,shm" "ipc,tcp,shm" "ipc,tcp" "tcp,shm" "ipc,shm" "ipc" "tcp" "shm")
restarts=0 recovered=0 max_ms=0 failures=0
deadline=$(($(date +%s) + minutes * 60))
while [ "$(date +%s)" -lt "$deadline" ]; do
    set=${sets[$((RANDOM % ${#sets[@]}))]}
    start_peer "$set"
    started=$(now_ms)
    restarts=$((restarts + 1))
    expected=$(want "$set")
    ok=0
    while [ $(($(now_ms) - started)) -lt 5000 ]; do
        # Only the enabled transports must be alive; the others may show either state meanwhile.
        got=$(alive)
        match=1
        for i in 0 1 2; do
            [ "${expected:$i:1}" = 1 ] && [ "${got:$i:1}" != 1 ] && match=0
        done
        if [ "$match" = 1 ] && [ ${#got} = 3 ]; then ok=1; break; fi
        sleep 0.02
    done
    took=$(($(now_ms) - started))
    if [ "$ok" = 1 ] && [ "$took" -le 2000 ]; then
        recovered=$((recovered + 1))
    else
        echo "soak: restart $restarts ($set) not alive after $took ms (alive $(alive))" >&2
    fi
    [ "$took" -gt "$max_ms" ] && max_ms=$took
    sleep "0.$((RANDOM % 9 + 1))"
    case $((RANDOM % 10)) in
        0) sed -i 's/^LatencySmoothingWindow: .*/LatencySmoothingWindow: '$((500 + RANDOM % 1000))'/' \
               "$folder/kvfakeshm-params.yml" 2>/dev/null; sleep 0.2 ;;
        1) rm -f "$folder/kvfakeshm-transport.bin"; sleep 0.2 ;;
    esac
    if [ $((RANDOM % 4)) = 0 ]; then
        stop_peer || failures=$((failures + 1))
    else
        kill -9 "$peer"; wait "$peer" 2>/dev/null
    fi
done

# The last peer ends in order: nothing of it may be left, and the Core goes back to its baseline.
start_peer "ipc,tcp,shm"; sleep 1
stop_peer || failures=$((failures + 1))
sleep 2
left=$(ls "$folder/kvfakeshm-transport.bin" /dev/shm/TestBlock /dev/shm/KvFakeShmHeartbeat 2>/dev/null | wc -l)
thr_delta=$(($(threads) - thr0)); fds_delta=$(($(fds) - fds0)); rss_delta=$(($(rss) - rss0))
log_kib=$(du -sk "$folder" | awk '{print $1}')
kill -TERM "$core"; wait "$core" 2>/dev/null

echo "soak: restarts=$restarts recovered=$recovered max_recovery_ms=$max_ms threads_delta=$thr_delta fds_delta=$fds_delta rss_delta_kib=$rss_delta log_kib=$log_kib"
[ "$recovered" = "$restarts" ] && [ "$max_ms" -le 2000 ] && [ "$thr_delta" = 0 ] && [ "$fds_delta" = 0 ] &&
    [ "$rss_delta" -le 2048 ] && [ "$left" = 0 ] && [ "$failures" = 0 ]
