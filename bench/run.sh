#!/usr/bin/env bash
# Runs every benchmark, writes their CSV files into bench/results/ and makes
# the plot docs/performance.png (bench/plot.py, python3 with matplotlib).
#
# Usage: bench/run.sh [--no-build] [--quick] [build-dir]
#   --no-build  use the build as it is (default: scripts/bootstrap.sh bench
#               first, which builds the preset bench in build-bench/)
#   build-dir   another build configured with AC_BENCH=ON, used as it is
#   --quick     short runs (a smoke test of the whole chain, not figures to quote)
# Environment: BENCH_MIN_TIME (seconds per benchmark, default 1),
#   BENCH_REPETITIONS (default 5; the medians are reported), SCALING_EVENTS
#   (events per worker in the scaling run, default 200000).
#
# Not run by ctest or CI: it takes several minutes and wants a quiet machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build_first=1
quick=0
build=$top/build-bench
for a in "$@"; do
    case "$a" in
    --no-build) build_first=0 ;;
    --quick) quick=1 ;;
    *) build=$(cd "$a" && pwd); build_first=0 ;;
    esac
done
min_time=${BENCH_MIN_TIME:-1}
reps=${BENCH_REPETITIONS:-5}
events=${SCALING_EVENTS:-200000}
if [ $quick = 1 ]; then
    min_time=0.05
    reps=1
    events=3000
fi

if [ $build_first = 1 ]; then
    "$top/scripts/bootstrap.sh" bench
fi

results=$top/bench/results
mkdir -p "$results" "$top/docs"
rm -f "$results"/*.csv
export BENCH_RESULTS=$results

{
    echo "date: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
    echo "commit: $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$top" diff --quiet 2>/dev/null || echo ' (with local changes)')"
    echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) online"
    echo "kernel: $(uname -r)"
    echo "openssl: $(openssl version 2>/dev/null || echo unknown)"
    echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "min_time: $min_time s, repetitions: $reps, scaling events per worker: $events"
} >"$results/environment.txt"

args=(--benchmark_min_time="$min_time" --benchmark_repetitions="$reps")
if [ "$reps" -gt 1 ]; then
    args+=(--benchmark_report_aggregates_only=true)
fi
for b in floor abstract_event get lua_policy; do
    echo "== bench_$b"
    "$build/bench/bench_$b" "${args[@]}" --benchmark_out="$results/$b.csv" --benchmark_out_format=csv
done

echo "== scaling under acagent"
for w in 1 2 4; do
    LD_PRELOAD="$build/libvavasim.so:$build/bench/libbenchalloc.so" \
        "$build/acagent" -w "$w" "$top/bench/scaling.lua" "$build" "$results/scaling.csv" "$events"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/environment.txt"

echo "== plot"
# Debian's interpreter, which has python3-matplotlib (scripts/bootstrap.sh),
# even where another python3 comes first in PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" "$top/bench/plot.py" "$results" "$top/docs/performance.png" | tee "$results/summary.txt"
