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
local tool = dir .. "/tool"
os.execute(("cp /usr/bin/true %s"):format(tool))
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
})
sim.live(false)
os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir)
assert(ok, err)
