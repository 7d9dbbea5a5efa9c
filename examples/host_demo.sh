#!/bin/sh
# Demo of host mode: `acagent host` protects a tmpfs made in a private mount
# namespace (scripts/demo.sh runs this under unshare -m --propagation private).
# Usage: host_demo.sh BUILD_DIR SOURCE_DIR
set -e
build=$1 src=$2
dir=$(mktemp -d /run/acengine-host.XXXXXX)
work=$(mktemp -d /run/acengine-hostw.XXXXXX)
agent=
# Interrupted or not, nothing is left behind: not the agent, not the folders.
trap '[ -z "$agent" ] || { kill -TERM "$agent" 2>/dev/null; wait "$agent"; }; umount "$dir" 2>/dev/null; rm -rf "$dir" "$work"' EXIT
trap 'exit 1' INT TERM HUP
mount -t tmpfs -o size=16m,mode=755 acengine-host "$dir"
mkdir "$dir/approved" "$dir/other"
cp /usr/bin/true "$dir/approved/tool"
cp /usr/bin/true "$dir/other/tool"
cat >"$work/policy.lua" <<EOP
local p = dofile("$src/examples/policy.lua")
p.trusted_dirs = {"$dir/approved/", "/usr/bin/", "/bin/"}
return p
EOP
try() { if "$1" 2>/dev/null; then echo "  $1: ran"; else echo "  $1: refused (exit $?)"; fi; }

echo "\$ acagent host --mode enforcing --mount $dir --policy policy.lua"
"$build/acagent" host --mode enforcing --mount "$dir" --policy "$work/policy.lua" \
    --status-file "$work/status.json" 2>"$work/agent.log" &
agent=$!
# Ready once both workers hold their handles (before that, events pass unjudged).
for i in $(seq 100); do [ "$(grep -c ': ready$' "$work/agent.log")" -ge 2 ] && break; sleep 0.1; done
echo "enforcing:"
try "$dir/approved/tool"
try "$dir/other/tool"
"$build/acagent" mode permissive "$work/status.json"
sleep 0.2
echo "permissive (acagent mode permissive):"
try "$dir/other/tool"
sleep 1.2
echo "\$ acagent status (the driver's part)"
"$build/acagent" status "$work/status.json" | sed -n '/^driver/,$p' | head -14
kill -TERM "$agent"
wait "$agent" || true
echo "the agent's log:"
grep -v ': ready$' "$work/agent.log" | sed 's/^/  /'
agent=
