-- Live mode with the engine answering: real programs on a watched tmpfs are
-- decided by the fast path and the sample policy (examples/policy.lua).
local t = require "testlib"
local L = require "livelib"
package.path = t.source .. "/examples/?.lua;" .. package.path
local policy = require "policy"
local sim, lacdc, T = L.sim, L.lacdc, L.T
local dir = L.mount()
local approved, other, script = dir .. "/approved/tool", dir .. "/other/tool", dir .. "/other/run.sh"
os.execute(("mkdir %s/approved %s/other && cp /usr/bin/true %s && cp /usr/bin/true %s && echo 'echo script-ran' > %s")
           :format(dir, dir, approved, other, script))
policy.trusted_dirs = {dir .. "/approved/", "/usr/bin/", "/bin/"}
local h = L.ready()
sim.live{mount = dir}
lacdc.ClearCache()
-- Runs cmd while serving events with the policy; lockdown unless opts say.
local OFF = {lockdown = 0}
local function run(cmd, opts)
  opts = opts or {lockdown = 1}
  local job = L.start(cmd)
  return job, L.serve(h, opts, job, function(ev) return (policy.decide(ev, opts)) end)
end

L.run(dir, {
  {"an approved binary runs and its verdict is cached; an unapproved one is denied in lockdown", function()
    local job, seen = run(L.ops .. " exec " .. approved)
    local ev = L.find(seen, T.execve_pre, approved)
    t.eq(t.show(job.out:match("^ok"), ev.reply, ev.action_type, ev.processName),
         t.show("ok", lacdc.REPLY_ALLOW, lacdc.TYPE_PROC_START, L.ops), "approved by the policy")
    local c = L.counters()
    job, seen = run(L.ops .. " exec " .. approved .. " 3")
    t.eq(job.out:match("^ok 3") .. " " .. #seen, "ok 3 0", "answered by the fast path from the object cache")
    t.eq(c("exec_pre") .. " " .. c("replied") .. " " .. c("timeouts"), "3 3 0", "three exec records answered in time")
    for _, want in ipairs {"reply", "bind_action"} do  -- the policy first, then the fast path
      job, seen = run(L.ops .. " exec " .. other)
      t.eq(job.out .. L.find(seen, T.execve_pre, other)[want], "error EPERM\n" .. lacdc.REPLY_BLOCK, want)
    end
    t.eq(run(L.ops .. " exec " .. other, OFF).out:match("^ok"), "ok", "allowed outside lockdown")
    job, seen = run("sh " .. script, OFF)
    ev = L.find(seen, T.open_pre, script)
    t.eq(t.show(job.out, ev.action_type, ev.processName, ev.processTypeIndex),
         t.show("script-ran\n", "SCRIPT_EXECUTION", "/usr/bin/dash", 7), "a script run by the shell")
    job = run("sh " .. script)
    t.eq(job.rc ~= 0 and job.out:find("script-ran", 1, true) == nil, true, "the shell cannot open it in lockdown")
  end},
  {"writes, chmod, rename and unlink reach the policy; the engine's own opens are answered at once", function()
    lacdc.AddToCache(approved, 1)
    -- live_ops stays 300 ms after its close, so the engine finds it in /proc
    local ev = L.find(select(2, run(L.ops .. " write " .. approved .. " '#!/bin/sh' 300")), T.close_pre, approved)
    t.eq(t.show(ev.action_type, ev.isdrift, ev.fd >= 0x40000000, lacdc.IsCached(approved)),
         t.show(lacdc.TYPE_CREATE, true, true, 0), "new content on a synthetic descriptor; the verdict forgotten")
    local a, b = dir .. "/other/a.txt", dir .. "/other/b.sh"
    run(L.ops .. " write " .. a .. " data 0", OFF)
    for _, c in ipairs {{"chmod " .. a .. " 755", OFF, T.chmod_post, a, "update"},
                        {"rename " .. a .. " " .. b, OFF, T.rename_post, b, "rename " .. a},
                        {"unlink " .. b, {basedir = dir}, T.unlink_post, b, "delete"}} do  -- under the monitored directory
      ev = L.find(select(2, run(L.ops .. " " .. c[1] .. " 300", c[2])), c[3], c[4])
      t.eq(ev.operationType .. (ev.oldname and " " .. ev.oldname or ""), c[5], c[1])
    end
    local before, c = lacdc.EventAbstractionStats().ac_ignore, L.counters()
    t.writefile(dir .. "/other/own.txt", "own\n")
    t.eq(c("own") .. " " .. c("timeouts") .. " " .. #L.serve(h, {}, nil, function() end), "1 0 0", "allowed at once, no wait")
    t.eq(lacdc.EventAbstractionStats().ac_ignore - before, 2, "the engine ignored its own open and close")
  end},
})
