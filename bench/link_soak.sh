#!/usr/bin/env bash
# Soak on the "relay" path (5 Mbit/s, 40 ms round trip, queue 100 ms): Quorvanta Host streams to
# the reference client for MINUTES minutes (default 60) at 1280 x 720 (a smaller screen keeps the
# load down on a shared machine) with the moving demo scene and its clock.
#
#   bench/link_soak.sh [MINUTES]
#
# (QUORVANTA_SOAK_WARM_EVERY and QUORVANTA_SOAK_TAKEOVER_EVERY, default 5 and 10, change the
# periods in minutes, for a short trial of the script.)
#
# Every minute device A reconnects: its session ends with "disconnect" and a new one starts.
# Every 5 minutes (minutes 2, 7, 12, ...) A's connection is dropped half-way (the client is killed)
# and A comes straight back: a warm resume of the kept capture. Every 10 minutes (minutes 9, 19,
# ...) device B takes the session over 20 s into A's minute. Every 10 s the host's resident memory,
# open descriptors and threads go to soak.csv. At the end: a summary (first and last figures, the
# slowest start of a stream, errors in the host's log) and, with gnuplot, soak.png. Needs root and
# the same build as bench/link_bench.sh ($QUORVANTA_LINK_BUILD, default build/release).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-60}
warm_every=${QUORVANTA_SOAK_WARM_EVERY:-5}
takeover_every=${QUORVANTA_SOAK_TAKEOVER_EVERY:-10}
build=$(cd "${QUORVANTA_LINK_BUILD:-$here/build/release}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "Run as root: the emulated path needs network namespaces and TUN devices." >&2; exit 1; }

if [ "${QUORVANTA_LINK_INSIDE:-}" != 1 ]; then
  host_ns="qsoak-host-$$" client_ns="qsoak-client-$$"
  ip netns add "$host_ns"
  ip netns add "$client_ns"
  trap 'ip netns del "$host_ns" 2>/dev/null || true; ip netns del "$client_ns" 2>/dev/null || true' EXIT
  QUORVANTA_LINK_INSIDE=1 host_ns=$host_ns client_ns=$client_ns ip netns exec "$host_ns" "$0" "$@"
  exit $?
fi

# ---- Inside the host's namespace ------------------------------------------------------------
work=$(mktemp -d /tmp/quorvanta-soak.XXXXXX)
echo "Soak for $minutes min; results in $work" >&2
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
link_args=(--rate 5M --delay 20ms --queue 100ms)
scene_args=(--clock)
sandbox_screen=1280x720x24
source "$here/bench/link/link_env.sh"

start=$(date +%s)
# Host figures every 10 s: seconds, resident kB, descriptors, threads.
sample() {
  echo "t,rss_kb,fds,threads"
  while kill -0 "$host_pid" 2>/dev/null; do
    printf '%s,%s,%s,%s\n' $(($(date +%s) - start)) \
      "$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$host_pid/status")" \
      "$(find "/proc/$host_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)" \
      "$(awk '$1 == "Threads:" { print $2 }' "/proc/$host_pid/status")"
    sleep 10
  done
}
sample >"$work/soak.csv" &
pids+=($!)

# One session of device NAME for SECONDS; its result line goes to sessions.txt with KIND.
session() {
  local name=$1 kind=$2 seconds=$3 tag=$4
  shift 4
  local line
  line=$(in_client "$receiver" "$work/$tag" "$seconds" --ping-ms 5000 --state "$work/client-$name.json" "$@" \
    2>"$work/$tag.log") || true
  echo "$(($(date +%s) - start)) $tag $kind $line" >>"$work/sessions.txt"
}

for minute in $(seq 0 $((minutes - 1))); do
  slot=$((start + 60 * minute))
  sleep $((slot - $(date +%s) > 0 ? slot - $(date +%s) : 0))
  if [ $((minute % takeover_every)) -eq $((takeover_every - 1)) ]; then
    session a reconnect 59 "m$minute-a" &
    taken=$!
    sleep 20
    session b takeover 38 "m$minute-b" --takeover
    wait "$taken" || true
  elif [ $((minute % warm_every)) -eq $((2 % warm_every)) ]; then
    in_client "$receiver" "$work/m$minute-a" 59 --ping-ms 5000 --state "$work/client-a.json" \
      >"$work/m$minute-a.txt" 2>"$work/m$minute-a.log" &
    dropped=$!
    sleep 30
    kill -KILL "$dropped" 2>/dev/null || true
    wait "$dropped" 2>/dev/null || true
    echo "$(($(date +%s) - start)) m$minute-a reconnect (dropped after 30 s)" >>"$work/sessions.txt"
    session a warm 28 "m$minute-w"
  else
    session a reconnect 58 "m$minute-a"
  fi
done
sleep 10

# ---- Summary ---------------------------------------------------------------------------------
{
  echo "Soak: $minutes min on the relay path at 1280x720; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
  awk -F, 'NR == 2 { first = $0 } NR > 1 && $1 >= 300 && !settled { settled = $0 } NR > 1 { last = $0
         if (!min_fd || $3 < min_fd) min_fd = $3; if ($3 > max_fd) max_fd = $3
         if (!min_th || $4 < min_th) min_th = $4; if ($4 > max_th) max_th = $4
         if ($1 >= 300) { if (!min_rss || $2 < min_rss) min_rss = $2; if ($2 > max_rss) max_rss = $2 } }
       END { print "host (t s, RSS kB, fds, threads): first " first "; at 5 min " settled "; last " last
             print "after 5 min: RSS " min_rss "-" max_rss " kB; fds " min_fd "-" max_fd "; threads " min_th "-" max_th " (whole run)" }' \
    "$work/soak.csv"
  awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^first_frame_s=/) { v = substr($i, 15); n++
           if (v == "-") { none++ } else { if (v + 0 > worst) { worst = v + 0; at = $2 }; if (v + 0 > 2) slow++ } } }
       END { printf "sessions: %d; first picture after at most %.2f s (%s); over 2 s: %d; none: %d\n", n, worst, at, slow, none }' \
    "$work/sessions.txt"
  echo "host log lines with error/fail/warn: $(grep -ciE 'error|fail|warn' "$work/host.log" || true)"
} | tee "$work/summary.txt"
if command -v gnuplot >/dev/null; then
  gnuplot <<EOF
set terminal pngcairo size 1200,700 font ',10'
set output '$work/soak.png'
set datafile separator ','
set multiplot layout 2,1 title 'Soak on the relay path: host process every 10 s'
set grid
set ylabel 'resident memory (MB)'
plot '$work/soak.csv' every ::1 using (\$1/60):(\$2/1024) with lines lw 2 title 'RSS'
set ylabel 'count'
set xlabel 'minutes'
plot '$work/soak.csv' every ::1 using (\$1/60):3 with lines lw 2 title 'open descriptors', \
     '' every ::1 using (\$1/60):4 with lines lw 2 title 'threads'
unset multiplot
EOF
  echo "Plot: $work/soak.png"
fi
