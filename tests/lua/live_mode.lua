-- Live mode of the simulated driver on a watched tmpfs: what real operations
-- become as raw records (gettest), how permission events are held and
-- answered, what it refuses to watch; then real programs decided by the fast
-- path and the sample policy (examples/policy.lua).
local t, d = require "testlib", require "drvlib"
package.path = t.source .. "/examples/?.lua;" .. package.path
local policy = require "policy"
local sim, lacdc, T = d.sim, d.lacdc, d.lacdc.type
local OPS = t.build .. "/live_ops"  -- real operations from a process of its own (tests/live/live_ops.c)
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
local function wait(job) d.wait_until(function() return job:done() end, "the job's end", 30) return job end
-- The raw records (gettest) queued within `ms` milliseconds of quiet.
local function records(h, ms)
  local out = {}
  for ev in function() return h:gettest(ms or 200) end do out[#out + 1] = ev end
  return out
end
-- The raw records of the next burst: waits (bounded) for at least one.
local function next_burst(h)
  local recs
  d.wait_until(function() recs = records(h, 100) return #recs > 0 end, "a record", 20)
  return recs
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
os.execute(("mkdir %s/sub %s/approved %s/other && cp /usr/bin/true %s && cp %s %s && cp %s %s && echo 'echo script-ran' > %s")
           :format(dir, dir, dir, tool, tool, approved, tool, other, script))
policy.trusted_dirs = {dir .. "/approved/", "/usr/bin/", "/bin/"}
local h = d.ready()
local function ops(args) return start(OPS .. " " .. args) end
local function line(ev, keys) return (keys:gsub("%S+", function(k) return tostring(ev[tonumber(k) or k]) end)) end
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
  {"refuses anything but a tmpfs mount point of its own", function()
    local bind = t.sh("mktemp -d /run/aclive.XXXXXX"):match("[^\n]+")
    os.execute("mount --bind " .. dir .. " " .. bind)
    t.raise_all {{"refusing to watch /", sim.live, {mount = "/"}}, {"is not a tmpfs", sim.live, {mount = t.build}},
                 {"is not a mount point", sim.live, {mount = dir .. "/sub"}}, {"mounted elsewhere too", sim.live, {mount = dir}}}
    os.execute("umount " .. bind .. "; rmdir " .. bind)
    t.raise_all {{"timeout_ms must be", sim.live, {mount = dir, timeout_ms = 0}}, {"field 'mount'", sim.live, {}}}
    t.eq(tostring(sim.live().on) .. " " .. sim.live(false), "false 0", "still off; stopping when off")
    sim.live{mount = dir}
    t.raises("on already", sim.live, {mount = dir})
    t.eq(line(sim.live(), "on mount timeout_ms"), "true " .. dir .. " 2000", "on, default timeout")
  end},
  {"an exec is held until the reply: allowed it runs, blocked it fails with EPERM", function()
    for _, c in ipairs {{lacdc.REPLY_ALLOW, "^ok", "1 1 2 0"}, {lacdc.REPLY_BLOCK, "^error EPERM\n$", "0 1 0 1"}} do
      local cnt = counters()
      local job = ops("exec " .. tool)
      local recs = next_burst(h)
      local ev = recs[1]
      t.eq(#recs .. " " .. line(ev, "type name dirfd execUid"), "1 " .. T.execve_pre .. " " .. tool .. " -100 0", "exec-pre")
      t.eq(ev.tid == ev.pid and ev.ppid > 1 and ev.pid ~= ev.ppid and ev.id >= 0x40000001, true, "ids")
      os.execute("sleep 0.1")
      t.eq(tostring(job:done()) .. " " .. sim.live().held, "false 1", "the exec waits")
      h:reply(ev, c[1])
      t.eq(wait(job).out:match(c[2]) ~= nil, true, "outcome: " .. job.out)
      t.eq(#records(h, 50), 0, "nothing else")
      t.eq(cnt("followups") .. " " .. cnt("replied") .. " " .. cnt("allowed") .. " " .. cnt("denied"), c[3], "counters")
    end
  end},
  {"a write is open-pre, open-post and close-pre on one synthetic descriptor", function()
    local path = t.writefile(dir .. "/again.txt", "x\n")  -- own process: not held
    records(h, 50)
    local job = ops("openw " .. path)
    local pre = next_burst(h)[1]
    t.eq(line(pre, "type flags"), T.open_pre .. " " .. 0x80201, "open-pre: O_WRONLY | O_TRUNC | O_CLOEXEC")
    h:reply(pre, lacdc.REPLY_ALLOW)
    local post = next_burst(h)[1]
    t.eq(line(post, "type name flags pid"), line({T.open_post, path, 0x80201, pre.pid}, "1 2 3 4"), "open-post")
    t.eq(post.dirfd >= 0x40000000 and post.rc == post.dirfd, true, "rc is the synthetic descriptor")
    t.eq(lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd), path, "/proc/<pid>/fd/<synthetic> reads the file")
    t.eq(type(select(2, lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd + 1000))), "number", "unknown descriptor")
    h:reply(post, lacdc.REPLY_TRACKFILE)
    local close = next_burst(h)[1]
    t.eq(line(close, "type fd pid"), line({T.close_pre, post.dirfd, pre.pid}, "1 2 3"), "close-pre")
    t.eq(wait(job).out:match("^ok 1") .. " " .. sim.live().sessions, "ok 1 0", "done, nothing left open")
  end},

  {"an approved binary runs and its verdict is cached; an unapproved one is denied in lockdown", function()
    sim.live(false)
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
  {"writes, chmod, rename and unlink reach the policy; the engine's own opens are answered at once", function()
    lacdc.AddToCache(approved, 1)
    -- live_ops stays 300 ms after its close, so the engine finds it in /proc
    local ev = find(select(2, run(OPS .. " write " .. approved .. " '#!/bin/sh' 300")), T.close_pre, approved)
    t.eq(t.show(ev.action_type, ev.isdrift, ev.fd >= 0x40000000, lacdc.IsCached(approved)),
         t.show(lacdc.TYPE_CREATE, true, true, 0), "new content on a synthetic descriptor; the verdict forgotten")
    local a, b = dir .. "/other/a.txt", dir .. "/other/b.sh"
    run(OPS .. " write " .. a .. " data 0", OFF)
    for _, c in ipairs {{"chmod " .. a .. " 755", OFF, T.chmod_post, a, "update"},
                        {"rename " .. a .. " " .. b, OFF, T.rename_post, b, "rename " .. a},
                        {"unlink " .. b, {basedir = dir}, T.unlink_post, b, "delete"}} do  -- under the monitored directory
      ev = find(select(2, run(OPS .. " " .. c[1] .. " 300", c[2])), c[3], c[4])
      t.eq(ev.operationType .. (ev.oldname and " " .. ev.oldname or ""), c[5], c[1])
    end
    local before, c = lacdc.EventAbstractionStats().ac_ignore, counters()
    t.writefile(dir .. "/other/own.txt", "own\n")
    t.eq(c("own") .. " " .. c("timeouts") .. " " .. #select(2, run(nil, OFF)), "1 0 0", "allowed at once, no wait")
    t.eq(lacdc.EventAbstractionStats().ac_ignore - before, 2, "the engine ignored its own open and close")
  end},
})
sim.live(false)  -- then remove the mount (lazily if still busy) and its directory, whatever the outcome
os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir)
assert(ok, err)
