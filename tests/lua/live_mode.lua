-- Real programs on a tmpfs watched by the simulated driver's live mode, decided
-- by the fast path and the sample policy (examples/policy.lua). Each kind of
-- record on its own: tests/lua/drv_*.lua.
local t, d = require "testlib", require "drvlib"
package.path = t.source .. "/examples/?.lua;" .. package.path
local policy = require "policy"
local sim, lacdc, T = d.sim, d.lacdc, d.lacdc.type
local OPS = t.build .. "/live_ops"  -- real operations from a process of its own (bench/live_ops.c)
-- Starts a shell command in the background. job:done() is true once it has
-- ended; then job.rc is its exit status and job.out its output.
local function start(cmd)
  local base = os.tmpname()
  os.execute(("( ( %s ) >%s 2>&1 </dev/null; echo $? >%s.tmp; mv %s.tmp %s.rc ) &"):format(cmd, base, base, base, base))
  return {done = function(self)
    self.rc = self.rc or tonumber(d.readfile(base .. ".rc") or "")
    if self.rc and not self.out then self.out = d.readfile(base) or ""; os.remove(base); os.remove(base .. ".rc") end
    return self.rc ~= nil
  end}
end
-- The first event of `list` of this type and name (or real path).
local function find(list, type, name)
  for _, ev in ipairs(list) do
    if ev.type == type and (ev.name == name or ev.realpath == name) then return ev end
  end
end
-- Status counters of the live mode, as deltas since the call.
local function counters()
  local before = sim.live()
  return function(name) return sim.live()[name] - before[name] end
end
-- A fresh tmpfs on a fresh directory, outside the engine's excluded locations.
local dir = t.sh("mktemp -d /run/aclive.XXXXXX 2>/dev/null || mktemp -d /srv/aclive.XXXXXX"):match("[^\n]+")
assert(os.execute("mount -t tmpfs -o size=64m,mode=755 aclive " .. dir) or os.remove(dir) and false, "mount -t tmpfs failed")
local tool, approved, other, script = dir .. "/tool", dir .. "/approved/tool", dir .. "/other/tool", dir .. "/other/run.sh"
os.execute(("mkdir %s/approved %s/other && cp /usr/bin/true %s && cp %s %s && cp %s %s && echo 'echo script-ran' > %s")
           :format(dir, dir, tool, tool, approved, tool, other, script))
policy.trusted_dirs = {dir .. "/approved/", "/usr/bin/", "/bin/"}
local h = d.ready()
-- Runs cmd (lockdown unless opts say) while serving events with the policy until it has ended and then
-- until 200 ms pass without one; returns the job and the events handed to Lua, each with its reply (ev.reply).
local OFF = {lockdown = 0}
local function run(cmd, opts)
  opts = opts or {lockdown = 1}
  local job, seen, limit = cmd and start(cmd), {}, os.time() + 30
  while true do
    local running = job and not job:done()
    assert(os.time() <= limit, "the job did not end")
    local ev, code, msg = h:get(running and 20 or 200, 1, opts.lockdown or 0, 0, opts.basedir or "", 0, 0)
    if ev then
      ev.reply = policy.decide(ev, opts)
      if ev.reply then h:reply(ev, ev.reply) end
      seen[#seen + 1] = ev
    else
      assert(lacdc.istimeout(code), msg)
      if not running then return job, seen end
    end
  end
end
local ok, err = pcall(t.run, {
  {"an approved binary runs and its verdict is cached; an unapproved one is denied in lockdown", function()
    sim.live{mount = dir}
    lacdc.ClearCache()
    local job, seen = run(OPS .. " exec " .. approved)
    local ev = find(seen, T.execve_pre, approved)
    t.eq(t.show(job.out:match("^ok"), ev.reply, ev.action_type, ev.processName),
         t.show("ok", lacdc.REPLY_ALLOW, lacdc.TYPE_PROC_START, OPS), "approved by the policy")
    local c = counters()
    job, seen = run(OPS .. " exec " .. approved .. " 3")
    t.eq(job.out:match("^ok 3") .. " " .. #seen, "ok 3 0", "answered by the fast path from the object cache")
    t.eq(c("exec_pre") .. " " .. c("replied") .. " " .. c("timeouts"), "3 3 0", "three exec records answered in time")
    for _, want in ipairs {"reply", "bind_action"} do  -- the policy first, then the fast path
      job, seen = run(OPS .. " exec " .. other)
      t.eq(job.out .. find(seen, T.execve_pre, other)[want], "error EPERM\n" .. lacdc.REPLY_BLOCK, want)
    end
    t.eq(run(OPS .. " exec " .. other, OFF).out:match("^ok"), "ok", "allowed outside lockdown")
    job, seen = run("sh " .. script, OFF)
    ev = find(seen, T.open_pre, script)
    t.eq(t.show(job.out, ev.action_type, ev.processName, ev.processTypeIndex),
         t.show("script-ran\n", "SCRIPT_EXECUTION", "/usr/bin/dash", 7), "a script run by the shell")
    job = run("sh " .. script)
    t.eq(job.rc ~= 0 and job.out:find("script-ran", 1, true) == nil, true, "the shell cannot open it in lockdown")
  end},
  {"a rewritten binary loses its verdict", function()
    lacdc.AddToCache(approved, 1)
    -- live_ops stays 300 ms after its close, so the engine finds it in /proc
    local ev = find(select(2, run(OPS .. " write " .. approved .. " '#!/bin/sh' 300")), T.close_pre, approved)
    t.eq(t.show(ev.action_type, ev.isdrift, ev.fd >= 0x40000000, lacdc.IsCached(approved)),
         t.show(lacdc.TYPE_CREATE, true, true, 0), "new content on a synthetic descriptor; the verdict forgotten")
  end},
})
sim.live(false)  -- then remove the mount (lazily if still busy) and its directory, whatever the outcome
os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir)
assert(ok, err)
