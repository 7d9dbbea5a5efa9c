#!/bin/sh
# Measures the added latency of the live mode per exec and per open
# (bench/live_latency.lua) in a private mount namespace of its own, with the
# simulated driver preloaded. Needs root.
#   bench/live_latency.sh [build-dir] [runs per measurement] [rounds]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
exec unshare -m --propagation private env LD_PRELOAD="$build/libvavasim.so" LUA_CPATH_5_2="$build/?.so" \
    lua5.2 "$top/bench/live_latency.lua" "$build" "${2:-200}" "${3:-5}"
