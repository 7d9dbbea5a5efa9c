-- Demo of the live mode of the simulated driver: real programs run on a tmpfs
-- that the driver watches with fanotify, and the engine with the sample
-- policy (policy.lua) decides them. Needs root, and must run inside a private
-- mount namespace of its own, with the simulated driver preloaded:
--   unshare -m --propagation private env LD_PRELOAD=build/libvavasim.so \
--     LUA_CPATH_5_2='build/?.so' lua5.2 examples/live_demo.lua
-- (scripts/demo.sh does this). The tmpfs is mounted in that namespace only
-- and is gone with it.
local here = arg[0]:match("(.*/)") or "./"
package.path = here .. "?.lua;" .. here .. "../policy/?.lua;" .. package.path
local lacdc = require "lacdc"
local sim = require "vavasim"
local policy = require "policy"
local acpolicy = require "acpolicy"
local T = lacdc.type

local function sh(cmd)
  local p = io.popen(cmd)
  local out = p:read("*a")
  p:close()
  return out
end

local dir = sh("mktemp -d /run/acengine-live.XXXXXX 2>/dev/null || mktemp -d /srv/acengine-live.XXXXXX"):match("[^\n]+")
assert(dir and os.execute("mount -t tmpfs -o size=16m,mode=755 acengine-live " .. dir), "cannot mount a tmpfs")
os.execute(table.concat({
  "mkdir " .. dir .. "/approved " .. dir .. "/other",
  "cp /usr/bin/true " .. dir .. "/approved/tool",
  "cp /usr/bin/true " .. dir .. "/other/tool",
  "printf 'echo hello from a script\\n' > " .. dir .. "/other/hello.sh",
}, " && "))
policy.trusted_dirs = {dir .. "/approved/", "/usr/bin/", "/bin/"}
print("watching the tmpfs " .. dir .. " (approved: " .. dir .. "/approved/)")

sim.reset()
sim.setup{hook = true, driver = true, node = true}
local h = assert(lacdc.open())
sim.live{mount = dir, timeout_ms = 2000}

-- Runs a shell command line in the background and answers events with the
-- policy until it has ended and the events it caused are answered.
local function run(title, cmd, opts)
  print(string.format("\n%s%s:\n$ %s", title, opts.lockdown == 1 and ", in lockdown" or "", cmd))
  local out = os.tmpname()
  os.execute(string.format("( ( %s ) >%s 2>&1 </dev/null; echo \"exit status $?\" >>%s; mv %s %s.done ) &",
                           cmd, out, out, out, out))
  local quiet = 0
  while quiet < 10 do
    local done = io.open(out .. ".done")
    if done then done:close() end
    local ev = acpolicy.get(h, {timeout = 20, lockdown = opts.lockdown, basedir = opts.basedir})
    if ev then
      quiet = 0
      local reply, why = policy.decide(ev, opts)
      if reply then h:reply(ev, reply) end
      local what = ev.action_type == lacdc.TYPE_CREATE and "new content" or
                   type(ev.action_type) == "string" and ev.action_type or T[ev.type]
      print(string.format("  engine -> Lua: %s %s by %s: %s", what, ev.realpath, ev.processName,
                          reply and lacdc.reply[reply] or why))
    elseif done then
      quiet = quiet + 1
    end
  end
  local f = io.open(out .. ".done")
  for line in f:lines() do print("  | " .. line) end
  f:close()
  os.remove(out .. ".done")
end

run("an approved program", dir .. "/approved/tool && echo ran", {lockdown = 1})
run("the same again: the object cache answers", dir .. "/approved/tool && echo ran from the cache", {lockdown = 1})
run("an unapproved program", dir .. "/other/tool", {lockdown = 1})
run("the same outside lockdown", dir .. "/other/tool && echo ran", {lockdown = 0})
run("a script run by a shell", "sh " .. dir .. "/other/hello.sh", {lockdown = 0})
-- The shell stays (sleep, then true) so that the engine still finds it when it reads the close.
run("the approved program rewritten", "printf '#!/bin/sh\\n' > " .. dir .. "/approved/tool; sleep 0.3; true", {lockdown = 1})
run("its verdict was forgotten: judged again", dir .. "/approved/tool; echo status $?", {lockdown = 1})

local st = sim.live()
print(string.format("\nlive mode: %d permission and %d notification events, %d records; %d allowed, %d denied, %d timeouts",
                    st.perm_events, st.notify_events, st.records, st.allowed, st.denied, st.timeouts))
local s = lacdc.EventAbstractionStats()
print(string.format("engine: %d events, %d answered in the fast path, %d handed to Lua",
                    s.total_events, s.eagain_return, s.lua_return))
sim.live(false)
h:close()
os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir)
