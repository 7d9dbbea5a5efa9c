-- Live mode with the engine answering: real programs on a watched tmpfs are
-- decided by the fast path and the sample policy (examples/policy.lua).
local t = require "testlib"
local L = require "livelib"
package.path = t.source .. "/examples/?.lua;" .. package.path
local policy = require "policy"
local sim, lacdc = L.sim, L.lacdc
local T = lacdc.type

local dir = L.mount()
os.execute(table.concat({
  "mkdir " .. dir .. "/approved " .. dir .. "/other",
  "cp /usr/bin/true " .. dir .. "/approved/tool",
  "cp /usr/bin/true " .. dir .. "/other/tool",
  "printf 'echo script-ran\\n' > " .. dir .. "/other/run.sh",
}, " && "))
local approved, other, script = dir .. "/approved/tool", dir .. "/other/tool", dir .. "/other/run.sh"
policy.trusted_dirs = {dir .. "/approved/", "/usr/bin/", "/bin/"}

local h = L.ready()
sim.live{mount = dir}
lacdc.ClearCache()

-- Runs cmd while serving events with the policy; lockdown unless opts say.
local function run(cmd, opts)
  opts = opts or {lockdown = 1}
  local job = L.start(cmd)
  local seen = L.serve(h, opts, {job}, function(ev) return (policy.decide(ev, opts)) end)
  return job, seen
end
local OFF = {lockdown = 0}

L.run(dir, {
  {"an approved binary runs; its verdict is cached", function()
    local job, seen = run(L.ops .. " exec " .. approved)
    t.eq(job.out:match("^ok"), "ok", "ran: " .. job.out)
    local ev = L.find(seen, T.execve_pre, approved)
    t.eq(ev and ev.reply, lacdc.REPLY_ALLOW, "approved by the policy")
    t.eq(ev.action_type, lacdc.TYPE_PROC_START, "a process start"); t.eq(ev.processName, L.ops, "the process that execs")
    local c = L.counters()
    job, seen = run(L.ops .. " exec " .. approved .. " 3")
    t.eq(job.out:match("^ok 3"), "ok 3", "ran three times")
    t.eq(#seen, 0, "answered by the fast path from the object cache")
    t.eq(c("exec_pre") .. " " .. c("replied") .. " " .. c("timeouts"), "3 3 0", "three exec records answered in time")
  end},

  {"an unapproved binary is denied in lockdown with EPERM", function()
    local job, seen = run(L.ops .. " exec " .. other)
    t.eq(job.out, "error EPERM\n", "denied")
    t.eq(L.find(seen, T.execve_pre, other).reply, lacdc.REPLY_BLOCK, "blocked by the policy")
    job, seen = run(L.ops .. " exec " .. other)
    t.eq(job.out, "error EPERM\n", "denied again")
    t.eq(L.find(seen, T.execve_pre, other).bind_action, lacdc.REPLY_BLOCK, "now by the fast path")
    t.eq(run(L.ops .. " exec " .. other, OFF).out:match("^ok"), "ok", "allowed outside lockdown")
  end},

  {"a script run by a shell is a script execution", function()
    local job, seen = run("sh " .. script, OFF)
    t.eq(job.out, "script-ran\n", "ran")
    local ev = L.find(seen, T.open_pre, script)
    t.eq(ev and ev.action_type, "SCRIPT_EXECUTION", "the policy saw a script execution")
    t.eq(ev.processName .. " " .. ev.processTypeIndex, "/usr/bin/dash 7", "run by the shell")
    job = run("sh " .. script)
    t.eq(job.rc ~= 0 and job.out:find("script-ran", 1, true) == nil, true, "the shell cannot open it in lockdown")
  end},

  {"a file written and closed reaches the policy as new content", function()
    lacdc.AddToCache(approved, 1)
    -- live_ops stays 300 ms after its close, so the engine finds it in /proc
    local job, seen = run(L.ops .. " write " .. approved .. " '#!/bin/sh' 300")
    t.eq(job.out, "ok\n", "written")
    local ev = L.find(seen, T.close_pre, approved)
    t.eq(ev and ev.action_type, lacdc.TYPE_CREATE, "new content"); t.eq(ev.isdrift, true, "tracked since its open")
    t.eq(ev.fd >= 0x40000000, true, "the synthetic descriptor")
    t.eq(lacdc.IsCached(approved), 0, "the verdict is forgotten")
    local new = dir .. "/other/new.sh"
    job, seen = run(L.ops .. " write " .. new .. " 'echo new' 300")
    ev = L.find(seen, T.close_pre, new)
    t.eq(ev and ev.action_type, lacdc.TYPE_CREATE, "a new script is new content too")
  end},

  {"chmod, rename and unlink reach the policy", function()
    local a, b = dir .. "/other/a.txt", dir .. "/other/b.sh"
    run(L.ops .. " write " .. a .. " data 0", OFF)
    for _, c in ipairs {
      {"chmod " .. a .. " 755", OFF, T.chmod_post, a, "update"},
      {"rename " .. a .. " " .. b, OFF, T.rename_post, b, "rename"},
      {"unlink " .. b, {lockdown = 0, basedir = dir}, T.unlink_post, b, "delete"},  -- under the monitored directory
    } do
      local _, seen = run(L.ops .. " " .. c[1] .. " 300", c[2])
      local ev = L.find(seen, c[3], c[4])
      t.eq(ev and ev.operationType, c[5], c[1])
      if c[5] == "rename" then t.eq(ev.oldname, a, "old name") end
    end
  end},

  {"the engine's own opens are answered as own events without waiting", function()
    local before = lacdc.EventAbstractionStats().ac_ignore
    local c = L.counters()
    local f = assert(io.open(dir .. "/other/own.txt", "w")); f:write("own\n"); f:close()
    t.eq(c("own") .. " " .. c("timeouts"), "1 0", "allowed at once, no wait")
    t.eq(#L.serve(h, {}, {}, function() end, 100), 0, "nothing for Lua")
    t.eq(lacdc.EventAbstractionStats().ac_ignore - before, 2, "the engine ignored its own open and close")
  end},
})
