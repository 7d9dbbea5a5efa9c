#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined-behaviour
# sanitizers) in build-fuzz/ and runs each for a bounded time, from its
# committed seeds (fuzz/corpus/<target>/) plus what earlier runs here found
# (build-fuzz/fuzz/corpus/<target>/). Exits non-zero when a target crashes,
# leaks, hangs (10 s per input), runs out of memory or breaks a check; the
# input is kept under build-fuzz/fuzz/artifacts/<target>/ and reproduces with
#   build-fuzz/fuzz/<target> build-fuzz/fuzz/artifacts/<target>/crash-...
#
# Usage: scripts/fuzz.sh [target...]      default: every target
#   FUZZ_SECONDS=n   time per target (default 30)
#   FUZZ_JOBS=n      targets run at once (default: the number of processors)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build-fuzz/fuzz
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_json_decode fuzz_get fuzz_command fuzz_sieve fuzz_decrypt fuzz_rules)

"$top/scripts/bootstrap.sh" fuzz  # the fuzz preset: clang, FUZZ=ON, in build-fuzz/

# Leaks count as findings; a Lua error raised by bad input does not (the targets catch those).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_one() {
    local t=$1 log=$out/logs/$1.log
    mkdir -p "$out/corpus/$t" "$out/artifacts/$t" "$out/logs"
    if (cd "$out/artifacts/$t" && "$out/$t" "$out/corpus/$t" "$top/fuzz/corpus/$t" \
            -max_total_time="${FUZZ_SECONDS:-30}" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
            -artifact_prefix="$out/artifacts/$t/" -print_final_stats=1 >"$log" 2>&1); then
        echo "fuzz: $t: $(grep -m1 -o 'number_of_executed_units: [0-9]*' "$log" | cut -d' ' -f2) runs, no finding"
        return 0
    fi
    echo "fuzz: $t FAILED (log: $log, input: $(ls -t "$out/artifacts/$t" | head -1))"
    grep -E -A25 "ERROR|CHECK failed|invariant broken|runtime error" "$log" | head -60 || tail -40 "$log"
    return 1
}

status=0
pids=()
for t in "${targets[@]}"; do
    run_one "$t" &
    pids+=($!)
    if [ ${#pids[@]} -ge "${FUZZ_JOBS:-$(nproc)}" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
[ $status -ne 0 ] || echo "fuzz: every target ran ${FUZZ_SECONDS:-30}s without a finding"
exit $status
