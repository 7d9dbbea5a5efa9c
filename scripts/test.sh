#!/usr/bin/env bash
# Builds (installing what is missing) and runs every test.
# Usage: scripts/test.sh            normal build in build/
#        scripts/test.sh --sanitize address and undefined-behaviour sanitizers in build-san/
#        scripts/test.sh --tsan     ThreadSanitizer in build-tsan/: the tests that run threads
#                                   (see "ThreadSanitizer and child processes" in tests/CMakeLists.txt)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--sanitize" ]; then
    "$top/scripts/bootstrap.sh" "$top/build-san" -DSANITIZE=address,undefined
    build=$top/build-san
elif [ "${1:-}" = "--tsan" ]; then
    "$top/scripts/bootstrap.sh" "$top/build-tsan" -DSANITIZE=thread
    build=$top/build-tsan
else
    "$top/scripts/bootstrap.sh" "$top/build"
    build=$top/build
fi
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
