-- Helpers for the live-mode tests (live_*.lua), which tests/live/run.sh runs in
-- a private mount namespace: every mount made here dies with the test.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc = d.sim, d.lacdc
local M = {sim = sim, lacdc = lacdc, ready = d.ready, T = lacdc.type, ops = t.build .. "/live_ops"}
-- A fresh tmpfs on a fresh directory, outside the engine's excluded locations.
function M.mount()
  local dir = t.sh("mktemp -d /run/aclive.XXXXXX 2>/dev/null || mktemp -d /srv/aclive.XXXXXX"):match("[^\n]+")
  if os.execute("mount -t tmpfs -o size=64m,mode=755 aclive " .. dir) then return dir end
  os.execute("rmdir " .. dir)
  error("mount -t tmpfs failed")
end
-- Runs the cases, then stops the live mode and removes the mount (lazily if
-- still busy) and its directory, whatever the outcome.
function M.run(dir, cases)
  local ok, err = pcall(t.run, cases)
  sim.live(false)
  os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir)
  if not ok then error(err, 0) end
end
-- Starts a shell command in the background. job:done() is true once it has
-- ended; then job.rc is its exit status and job.out its output.
function M.start(cmd)
  local base = os.tmpname()
  os.execute(("( ( %s ) >%s 2>&1 </dev/null; echo $? >%s.tmp; mv %s.tmp %s.rc ) &"):format(cmd, base, base, base, base))
  return {done = function(self)
    self.rc = self.rc or tonumber(d.readfile(base .. ".rc") or "")
    if self.rc and not self.out then self.out = d.readfile(base) or ""; os.remove(base); os.remove(base .. ".rc") end
    return self.rc ~= nil
  end}
end
function M.wait(job, seconds)
  d.wait_until(function() return job:done() end, "the job's end", seconds or 30)
  return job
end
-- Serves events with decide(ev) -> reply code until the job has ended and
-- then until 200 ms pass without an event for Lua. Returns the events handed
-- to Lua, each with the reply sent (ev.reply).
function M.serve(h, opts, job, decide)
  local seen, limit = {}, os.time() + 30
  while true do
    local running = job and not job:done()
    assert(os.time() <= limit, "the job did not end")
    local ev, code, msg = h:get(running and 20 or 200, 1, opts.lockdown or 0, 0, opts.basedir or "", 0, 0)
    if ev then
      ev.reply = decide(ev)
      if ev.reply then h:reply(ev, ev.reply) end
      seen[#seen + 1] = ev
    else
      assert(lacdc.istimeout(code), msg)
      if not running then return seen end
    end
  end
end
-- The raw records (gettest) queued within `ms` milliseconds of quiet.
function M.records(h, ms)
  local out = {}
  for ev in function() return h:gettest(ms or 200) end do out[#out + 1] = ev end
  return out
end
-- The raw records of the next burst: waits (bounded) for at least one.
function M.next(h)
  local recs
  d.wait_until(function() recs = M.records(h, 100) return #recs > 0 end, "a record", 20)
  return recs
end
-- The first event of `list` of this type and name (or real path).
function M.find(list, type, name)
  for _, ev in ipairs(list) do
    if ev.type == type and (ev.name == name or ev.realpath == name) then return ev end
  end
end
-- Status counters of the live mode, as deltas since the call.
function M.counters()
  local before = sim.live()
  return function(name) return sim.live()[name] - before[name] end
end
return M
