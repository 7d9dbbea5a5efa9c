#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined-behaviour
# sanitizers) in build-fuzz/ and runs each for a bounded time. Exits non-zero
# when any target crashes, times out, runs out of memory or breaks one of its
# checks; the input that did it is kept under build-fuzz/fuzz/artifacts/.
#
# Usage: fuzz/run.sh [target...]      default: every target
#   FUZZ_SECONDS=n   time per target (default 30)
#   FUZZ_JOBS=n      targets run at once (default: the number of processors)
#
# Each target starts from its committed seeds (fuzz/corpus/<target>/) plus
# what earlier runs on this machine found (build-fuzz/fuzz/corpus/<target>/,
# not committed). A crash is reproduced with
#   build-fuzz/fuzz/<target> build-fuzz/fuzz/artifacts/<target>/crash-...
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-fuzz
seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_JOBS:-$(nproc)}
all=(fuzz_json_decode fuzz_json_parser fuzz_get fuzz_command fuzz_sieve fuzz_decrypt)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

"$top/scripts/bootstrap.sh" fuzz  # the fuzz preset: clang, FUZZ=ON, in build-fuzz/

out=$build/fuzz
# Leaks count as findings; a Lua error raised by bad input does not (the
# targets catch those).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_one() {
    local t=$1
    local corpus=$out/corpus/$t artifacts=$out/artifacts/$t log=$out/logs/$t.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    # -timeout: one input taking 10 s is a hang; -rss_limit_mb: memory per process.
    if (cd "$artifacts" && "$out/$t" "$corpus" "$top/fuzz/corpus/$t" \
            -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
            -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1); then
        echo "fuzz: $t: $(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$log" | cut -d' ' -f2) runs, no finding"
        return 0
    fi
    echo "fuzz: $t FAILED (log: $log, input: $(ls -t "$artifacts" | head -1))"
    if grep -qE "ERROR|CHECK failed|invariant broken|runtime error" "$log"; then
        grep -E -A25 "ERROR|CHECK failed|invariant broken|runtime error" "$log" | head -60
    else
        tail -40 "$log"
    fi
    return 1
}

status=0
pids=()
names=()
for t in "${targets[@]}"; do
    run_one "$t" &
    pids+=($!)
    names+=("$t")
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
        names=("${names[@]:1}")
    fi
done
for p in "${pids[@]}"; do
    wait "$p" || status=1
done
[ $status -eq 0 ] && echo "fuzz: every target ran ${seconds}s without a finding"
exit $status
