-- Helpers for the live-mode tests (live_*.lua). ctest runs each of them as
-- `unshare -m --propagation private lua5.2 script` with the simulated driver
-- preloaded, so every mount made here lives and dies with the test's own
-- private mount namespace.
local t = require "testlib"
local lacdc = require "lacdc"
local sim = require "vavasim"
local M = {}

M.sim, M.lacdc = sim, lacdc
M.ops = t.build .. "/live_ops"  -- real operations done by another process (tests/live/live_ops.c)

function M.mypid()
  local f = assert(io.open("/proc/self/stat"))
  local pid = f:read("*n")
  f:close()
  return pid
end

function M.sh(cmd)
  local p = io.popen(cmd)
  local out = p:read("*a")
  p:close()
  return out
end

-- A fresh tmpfs on a fresh directory, outside the engine's excluded
-- locations ("/tmp/" is one of them).
function M.mount()
  local dir = M.sh("mktemp -d /run/aclive.XXXXXX 2>/dev/null || mktemp -d /srv/aclive.XXXXXX"):match("[^\n]+")
  assert(dir, "no directory for the mount")
  if not os.execute("mount -t tmpfs -o size=64m,mode=755 aclive " .. dir) then
    os.execute("rmdir " .. dir)
    error("mount -t tmpfs failed")
  end
  return dir
end

-- A lazy unmount where the plain one finds the mount still busy (only this
-- namespace has it); the directory is on the machine's file system.
function M.unmount(dir)
  sim.live(false)
  os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir)
end

-- Runs the cases of testlib, then stops the live mode and removes the mount
-- and its directory whatever the outcome (the directory itself is on the
-- machine's file system, outside the namespace).
function M.run(dir, cases)
  local ok, err = pcall(t.run, cases)
  M.unmount(dir)
  if not ok then error(err, 0) end
end

-- A loaded driver with its node and one open handle.
function M.ready()
  sim.reset()
  sim.setup{hook = true, driver = true, node = true}
  return assert(lacdc.open())
end

-- Starts a shell command in the background. job:done() is true once it has
-- ended; then job.rc is its exit status and job.out its output.
function M.start(cmd)
  local base = os.tmpname()
  os.execute(string.format("( ( %s ) >%s 2>&1 </dev/null; echo $? >%s.tmp; mv %s.tmp %s.rc ) &",
                           cmd, base, base, base, base))
  local job = {}
  function job:done()
    if self.rc then return true end
    local f = io.open(base .. ".rc")
    if not f then return false end
    local rc = f:read("*n")
    f:close()
    if not rc then return false end
    self.rc = rc
    local o = io.open(base)
    self.out = o and o:read("*a") or ""
    if o then o:close() end
    os.remove(base)
    os.remove(base .. ".rc")
    return true
  end
  return job
end

-- Waits (without serving events) until the job has ended.
function M.wait(job, seconds)
  local limit = os.time() + (seconds or 30)
  while not job:done() do
    assert(os.time() <= limit, "the job did not end")
    os.execute("sleep 0.01")
  end
  return job
end

-- Serves events with decide(ev) -> reply code or nil until every job has
-- ended and then until `quiet` ms pass without an event for Lua. Returns the
-- events handed to Lua, each with the reply sent (ev.reply).
function M.serve(h, opts, jobs, decide, quiet)
  local seen = {}
  local function one(timeout)
    local ev, code, msg = h:get(timeout, opts.ac_on or 1, opts.lockdown or 0, 0, opts.basedir or "", 0, 0)
    if not ev then
      assert(lacdc.istimeout(code), msg)
      return false
    end
    local reply = decide(ev)
    if reply then h:reply(ev, reply) end
    ev.reply = reply
    seen[#seen + 1] = ev
    return true
  end
  local limit = os.time() + 30
  while true do
    local running = false
    for _, j in ipairs(jobs) do running = running or not j:done() end
    if not running then break end
    assert(os.time() <= limit, "the jobs did not end")
    one(20)
  end
  while one(quiet or 200) do end
  return seen
end

-- The raw records (gettest) queued within `ms` milliseconds of quiet.
function M.records(h, ms)
  local out = {}
  while true do
    local ev = h:gettest(ms or 200)
    if not ev then return out end
    out[#out + 1] = ev
  end
end

-- The first event of `list` of this type (and name, when given).
function M.find(list, type, name)
  for _, ev in ipairs(list) do
    if ev.type == type and (name == nil or ev.name == name or ev.realpath == name) then return ev end
  end
end

-- Status counters of the live mode, as deltas since the call.
function M.counters()
  local before = sim.live()
  return function(name) return sim.live()[name] - before[name] end
end

return M
