# Sourced by the benchmarks that measure a process from /proc: wall time, CPU ticks and memory.

ticks_per_second=$(getconf CLK_TCK)
now() { date +%s.%N; }
# utime + stime of a process, in clock ticks (fields 14 and 15, counted after the command name).
cpu_ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
# A "Key: value kB" line of /proc/PID/status, e.g. status_kb PID VmHWM.
status_kb() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
