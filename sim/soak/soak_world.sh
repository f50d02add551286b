#!/bin/sh
# One random run inside a board world (boardsim --log LOGDIR): the service,
# the reference server's random mode beside it, then a stop and what the
# service must leave behind. With "kills" the reference server starts, kills
# and stops the service itself. Prints key=value lines; result=ok when all held.
#   soak_world.sh TOVK REFSERVER DRIVER LOGDIR SEED SECONDS [kills]
T=$1 R=$2 D=$3 L=$4 seed=$5 seconds=$6 mode=${7:-}

alive() { [ -e /proc/$S ] && ! grep -q '^State:[[:space:]]*Z' /proc/$S/status; }
rss() { awk '/^VmRSS:/ { print $2 }' /proc/$S/status 2>/dev/null; }
if [ "$mode" = kills ]; then
    faults="--kills --driver $D"
else
    faults=
    "$T" i 127.0.0.1 >"$L/service.out" 2>"$L/service.err" & S=$!
    sleep 1
    echo "rss_start_kb=$(rss)"
fi

# shellcheck disable=SC2086 # $faults is words
"$R" --pic-log "$L" --tolerance 24 --tovk "$T" --service-log "$L/service.err" --json "$L/refserver.json" \
    --random "$seed" --random-seconds "$seconds" $faults >"$L/refserver.out" 2>&1
refserver=$?
cat "$L/refserver.out"
echo "refserver=$refserver"

if [ "$mode" = kills ]; then
    # The run stopped its own service with r; nothing of tovk may be left.
    service=0
    pgrep -x tovk >/dev/null && service=tovk-left-running
else
    echo "rss_end_kb=$(rss)"
    # SIGTERM ends the pass in progress; a pass is a few seconds at most.
    kill -TERM $S
    i=0
    while alive && [ $i -lt 150 ]; do sleep 0.1; i=$((i + 1)); done
    if alive; then
        service=still-running-after-SIGTERM
        kill -KILL $S
        wait $S
    else
        wait $S
        service=$?
    fi
fi
echo "service=$service"

sems=$("$D" sem 0 sem 1 sem 2 sem 3 sem 4 sem 5 sem 6 slot | grep '^s' | tr '\n' ',')
echo "semaphores=$sems"
# The lines a PIC exchange, a measurement or a routed packet drives must be
# back at rest: no select pulse, no battery load, no route, attention high
# (the exchange closed).
busy=$(awk '/ line name=/ { for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } last[f["name"]] = f["new"] }
    END { rest["channel_select"] = 0; rest["batt_measure"] = 0; rest["pic_attention"] = 1
          rest["route_enable"] = 0; rest["route_select"] = 0; rest["route_flag"] = 0; rest["route_mode"] = 0
          for (n in rest) if ((n in last) && last[n] != rest[n]) printf "%s=%s,", n, last[n] }' "$L/lines.log")
echo "lines_busy=${busy:-none}"
echo "reclaims=$(grep -c 'slot freed' "$L/service.err")"

if [ "$refserver" = 0 ] && [ "$service" = 0 ] &&
    [ "$sems" = "sem0=1,sem1=1,sem2=1,sem3=1,sem4=1,sem5=1,sem6=1,slot_len=0," ] && [ -z "$busy" ]; then
    echo "result=ok"
else
    echo "result=FAILED"
    echo "--- service log"
    cat "$L/service.err"
fi
