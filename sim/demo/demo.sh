#!/bin/sh
# The demo's world script: runs inside boardsim. The service feeds the
# reference server, which verifies every packet against the PIC's stream;
# a few commands run while it goes, and the server sends one legacy command. Ends after DEMO_SECONDS or on Ctrl-C.
# Needs: T (tovk), R (refserver), B (boardsim), L (log directory), DEMO_SECONDS.

say() { printf '\n== %s\n' "$*"; }

"$T" i 127.0.0.1 >"$L/service.out" 2>"$L/service.err" &
service=$!
"$R" --pic-log "$L" --json "$L/packets.json" --samples "$L/samples.txt" \
    'continuous 3' 'command 1 9 4' 'continuous forever' >"$L/refserver.out" 2>&1 &
server=$!
tail -n +1 -f "$L/refserver.out" 2>/dev/null | sed -u 's/^/server  | /' &
tail_server=$!
tail -n +1 -f "$L/service.err" 2>/dev/null | sed -u 's/^/service | /' &
tail_service=$!

stopping=0
stop() {
    [ "$stopping" = 1 ] && return
    stopping=1
    say "stopping: tovk r, then the server"
    "$T" r
    kill -INT "$server" 2>/dev/null
    wait "$service" 2>/dev/null
    wait "$server" 2>/dev/null
    sleep 0.2
    kill "$tail_server" "$tail_service" 2>/dev/null
    say "summary"
    grep '^summary:' "$L/refserver.out"
    grep -c '"verified":true' "$L/packets.json" 2>/dev/null | sed 's/^/verified packets in the JSON log: /'
    cat "$L/service.out"
    # The metrics file the service wrote at stop, where the world has the directory.
    if [ -f /var/lib/prometheus/node-exporter/tovk.prom ]; then
        cp /var/lib/prometheus/node-exporter/tovk.prom "$L/tovk.prom"
        echo "metrics file at stop: $L/tovk.prom"
    fi
}
trap 'echo "(interrupted)"; stop; exit 0' INT
trap 'echo "(terminated)"; stop; exit 0' TERM

step() {
    [ "$stopping" = 1 ] && return
    sleep "$1"
    shift
    say "$*"
    "$@" 2>&1 | sed 's/^/        | /'
}

step 4 "$T" d
step 3 "$T" p 2 AB
step 3 "$B" ctl log pic packet
step 1 "$T" l 9
step 3 "$T" l
step 3 "$T" s 127.0.0.1
elapsed=17
while [ "$stopping" = 0 ] && [ "$elapsed" -lt "${DEMO_SECONDS:-30}" ]; do
    sleep 1
    elapsed=$((elapsed + 1))
done
stop
