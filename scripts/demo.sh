#!/usr/bin/env bash
# Builds (installing what is missing) and runs the demo.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/bootstrap.sh" "$top/build"
cd "$top/build"
LUA_CPATH_5_2="$top/build/?.so" LD_PRELOAD="$top/build/libvavasim.so" lua5.2 "$top/examples/demo.lua"
