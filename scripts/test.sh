#!/usr/bin/env bash
# Builds (installing what is missing) and runs every test.
# Usage: scripts/test.sh            normal build in build/ (preset default)
#        scripts/test.sh --sanitize address and undefined-behaviour sanitizers in build-san/ (preset sanitize)
#        scripts/test.sh --tsan     ThreadSanitizer in build-tsan/ (preset tsan): the tests that run threads
#                                   (see "ThreadSanitizer and child processes" in tests/CMakeLists.txt)
# Environment: JOBS=n parallel build and test jobs (default: the number of processors).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
"") preset=default ;;
--sanitize) preset=sanitize ;;
--tsan) preset=tsan ;;
*) echo "usage: scripts/test.sh [--sanitize|--tsan]" >&2; exit 2 ;;
esac
"$top/scripts/bootstrap.sh" test "$preset"
cd "$top"
ctest --preset "$preset" -j"${JOBS:-$(nproc)}"
