-- What the live mode answers on its own: a watcher killed while it holds an
-- exec, the deadline, permissive mode, events the engine cannot judge, exempt
-- programs.
local t, d = require "testlib", require "drvlib"
local sim, lacdc = d.sim, d.lacdc
local watch = os.getenv("ACLIVE_WATCH")
if watch then  -- the watcher the first case kills: says when it holds an exec, then waits
  d.ready()
  sim.live{mount = watch, timeout_ms = 60000}
  print("ready"); io.stdout:flush()
  while sim.live().held == 0 do os.execute("sleep 0.01") end
  print(d.mypid); io.stdout:flush()
  io.read()
  return
end
package.path = t.source .. "/examples/?.lua;" .. package.path
local policy = require "policy"
local OPS = t.build .. "/live_ops"
local dir = t.sh("mktemp -d /run/aclive.XXXXXX 2>/dev/null || mktemp -d /srv/aclive.XXXXXX"):match("[^\n]+")
assert(os.execute("mount -t tmpfs -o size=16m,mode=755 aclive " .. dir) or os.remove(dir) and false, "mount -t tmpfs failed")
local tool, other = dir .. "/tool", dir .. "/other/tool"
os.execute(("mkdir %s/other && cp /usr/bin/true %s && cp %s %s"):format(dir, tool, tool, other))
policy.trusted_dirs = {"/usr/bin/", "/bin/"}
local h = d.ready()
-- Starts a shell command in the background: job.pid runs it; job:done() is true once it
-- has ended, then job.rc is its exit status and job.out its output.
local function start(cmd)
  local base = os.tmpname()
  os.execute(("( sh -c 'echo $$ >%s.pid; exec %s' >%s 2>&1 </dev/null; echo $? >%s.tmp; mv %s.tmp %s.rc ) &")
             :format(base, cmd, base, base, base, base))
  local job = {done = function(self)
    self.rc = self.rc or tonumber(d.readfile(base .. ".rc") or "")
    if self.rc and not self.out then self.out = d.readfile(base) or ""; os.execute("rm -f " .. base .. "*") end
    return self.rc ~= nil
  end}
  d.wait_until(function() job.pid = tonumber(d.readfile(base .. ".pid") or ""); return job.pid end, "a pid", 5)
  return job
end
-- Restarts the live mode with options `live` (unless nil), starts cmd (unless nil) and serves
-- events with the lockdown policy (only once cmd has ended when `silent`) until 200 ms pass
-- without one; returns the job and the live mode's counter deltas.
local function serve(cmd, live, silent)
  if live then sim.live(false); sim.live(live) end
  lacdc.ClearCache()
  local before, limit, job = sim.live(), os.time() + 30, cmd and start(cmd)
  while true do
    local running = job and not job:done()
    assert(os.time() <= limit, "the job did not end")
    if silent and running then os.execute("sleep 0.02") else
      local ev = h:get(running and 20 or 200, 1, 1, 0, "", 0, 0)
      local reply = ev and policy.decide(ev, {lockdown = 1})
      if reply then h:reply(ev, reply) elseif not ev and not running then break end
    end
  end
  local after = sim.live()
  return job, function(name) return after[name] - before[name] end
end
local ok, err = pcall(t.run, {
  {"a watcher killed while it holds an exec lets the exec go on", function()
    local out = os.tmpname()
    local host = d.readfile("/proc/self/cmdline"):gsub("%z$", ""):gsub("[^%z]+", "'%0'"):gsub("%z", " ")
    local watcher = io.popen(("ACLIVE_WATCH=%s %s >%s 2>&1"):format(dir, host, out), "w")
    d.wait_until(function() return d.readfile(out):match("^ready") end, "the watcher", 10)
    local job = start(tool)
    d.wait_until(function() return d.readfile(out):match("\n%d+") end, "a held exec", 10)
    os.execute("kill -9 " .. d.readfile(out):match("\n(%d+)"))
    local ended = pcall(d.wait_until, function() return job:done() end, "the exec", 3)
    if not ended then os.execute("kill -9 " .. job.pid) end  -- which frees the watcher too
    watcher:close()
    os.remove(out)
    t.eq(ended and job.rc, 0, "the exec ended by itself")
  end},
  {"the deadline denies when told to", function()
    local job, c = serve(OPS .. " exec " .. tool, {mount = dir, timeout_ms = 200, deadline_deny = true}, true)
    t.eq(t.show(job.out, c("deadline_denied"), c("timeouts"), c("denied")), t.show("error EPERM\n", 1, 0, 1), "denied")
  end},
  {"permissive mode runs what the policy blocks", function()
    local job, c = serve(OPS .. " exec " .. other, {mount = dir, enforcing = false})
    t.eq(t.show(job.out:match("^ok"), c("would_deny"), c("denied")), t.show("ok", 1, 0), "allowed")
  end},
  {"an event the engine cannot judge is answered at once", function()
    sim.live(false)
    sim.live{mount = dir, timeout_ms = 20000}
    local job = start(tool)  -- held, then killed: the engine finds no /proc/<pid>/exe
    d.wait_until(function() return sim.live().held == 1 end, "a held exec", 5)
    os.execute("kill -9 " .. job.pid)
    d.wait_until(function() return job:done() end, "the end of the exec", 5)
    local _, c = serve()
    t.eq(t.show(c("unresolved"), sim.live().held), t.show(1, 0), "answered")
  end},
  {"an exempt program's operations make no record", function()
    local job, c = serve(other, {mount = dir, exempt = "/bin/sh"})  -- the shell executes it
    t.eq(t.show(job.rc, c("exempt") > 0, c("exec_pre")), t.show(0, true, 0), "allowed at once")
  end},
})
sim.live(false)
os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir)
assert(ok, err)
