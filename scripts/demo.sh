#!/usr/bin/env bash
# Builds (installing what is missing) and runs the demo: the modules as the
# policy code sees them, then the sample policy agent in three workers over
# the simulated driver. Builds the preset demo in build/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/bootstrap.sh" demo
cd "$top/build"
export LUA_CPATH_5_2="$top/build/?.so"
LD_PRELOAD="$top/build/libvavasim.so" lua5.2 "$top/examples/demo.lua"
echo
echo "== sample policy agent: worker 1 plays the driver, workers 2 and 3 run the policy =="
LD_PRELOAD="$top/build/libvavasim.so" ./acagent -w 3 "$top/examples/agent_demo.lua"
echo
echo "== live mode: real programs on a tmpfs watched with fanotify, decided by the engine and the policy =="
# Only in a private mount namespace of its own (the tmpfs lives and dies there), which needs root.
if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
    unshare -m --propagation private env LD_PRELOAD="$top/build/libvavasim.so" lua5.2 "$top/examples/live_demo.lua"
else
    echo "(skipped: needs root and a private mount namespace)"
fi
echo
echo "== host mode: acagent host protects a mount with the linked driver, no preload =="
if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
    timeout 60 unshare -m --propagation private "$top/examples/host_demo.sh" "$top/build" "$top"
else
    echo "(skipped: needs root and a private mount namespace)"
fi
