-- acagent workers: 6
-- Stress over the simulated driver, for ThreadSanitizer above all: readers run
-- get on handles of their own while churners add and remove object-cache
-- entries and drift entries under them, for a few seconds.
--
--   worker 1           feeds records to the readers' handles and checks the
--                      outcome: exactly one reply per event, every event counted
--   workers 2 .. 4     readers: get, and a reply from Lua where the fast path
--                      gave none
--   workers 5 and up   churners: object cache, drift tracker, process cache,
--                      profiler hooks, and the statistics readers
--
-- The events come from a real process (a sleep holding a few files open), so
-- the fast path resolves names through /proc, looks the files up in the object
-- cache, tracks written files in the drift tracker, and now and then hands a
-- fresh filter to the driver, all while the churners change what it finds.
local t = require "testlib"
local lacdc = require "lacdc"
local ac = require "ac"
local sim = require "vavasim"
local T = lacdc.type

local FEED_SECONDS = 3
local READERS = 3
assert(worker and workers, "run under acagent")
assert(workers >= READERS + 2, "needs a feeder, " .. READERS .. " readers and a churner")

local function fail(fmt, ...) error(string.format("worker %d: " .. fmt, worker, ...), 2) end

local function exists(path)
  local f = io.open(path)
  if f then f:close() end
  return f ~= nil
end

local function sleep(s) os.execute("sleep " .. s) end

local function wait_until(fn, what, seconds)
  local deadline = os.time() + (seconds or 60)
  while not fn() do
    if os.time() > deadline then fail("timed out waiting for %s", what) end
    sleep(0.01)
  end
end

-- Every worker knows the work directory: it is named after the process.
local dir = "/srv/acengine-stress." .. assert(io.open("/proc/self/stat")):read("*n")
local paths = {
  tool = dir .. "/tool",        -- an executable the cache decides about
  other = dir .. "/other",      -- another one, usually not cached
  script = dir .. "/new.sh",    -- written by the sleeper: tracked, then closed
  log = dir .. "/app.log",      -- written too, filtered out at close
}
local ready_file, done_file, pid_file = dir .. "/ready", dir .. "/done", dir .. "/pid"

local function feeder()
  sim.reset()
  os.execute("rm -rf " .. dir .. " && mkdir -p " .. dir)
  for _, p in pairs(paths) do
    local f = assert(io.open(p, "w"))
    f:write("#!/bin/sh\nexit 0\n")
    f:close()
  end
  os.execute(string.format("chmod 755 %s %s %s", paths.tool, paths.other, paths.script))
  -- descriptors 3 and 4 open for writing, 5 on the tool (for mmap events)
  local pid = t.spawn_sleep(60, dir,
    string.format("3>>%s 4>>%s 5<%s", paths.script, paths.log, paths.tool))
  local f = assert(io.open(pid_file, "w"))
  f:write(pid)
  f:close()
  sim.setup{hook = true, driver = true, node = true}
  assert(io.open(ready_file, "w")):close()
  wait_until(function() return sim.status().handles == READERS end, "the readers' handles")

  local before = lacdc.EventAbstractionStats()
  local O_CREAT, O_WRONLY = 0x40, 0x1
  -- One record of each kind the fast path treats differently.
  local kinds = {
    function(id) return {type = T.execve_pre, id = id, pid = pid, fd = -100, name = paths.tool} end,
    function(id) return {type = T.execve_pre, id = id, pid = pid, fd = -100, name = paths.other} end,
    function(id) return {type = T.execve_pre, id = id, pid = pid, fd = -100, name = "/usr/bin/true"} end,
    function(id) return {type = T.mmap_pre, id = id, pid = pid, fd = 5} end,
    function(id) return {type = T.open_post, id = id, pid = pid, fd = 3, rc = 3, flags = O_WRONLY + O_CREAT,
                         name = paths.script} end,
    function(id) return {type = T.open_post, id = id, pid = pid, fd = 4, rc = 4, flags = O_CREAT,
                         name = paths.log} end,
    function(id) return {type = T.close_pre, id = id, pid = pid, fd = 3} end,
    function(id) return {type = T.close_pre, id = id, pid = pid, fd = 4} end,
    -- untracked closes: enough of them make the fast path ask for a fresh filter
    function(id) return {type = T.close_pre, id = id, pid = pid, fd = 40 + id % 20} end,
    function(id) return {type = T.dup_pre, id = id, pid = pid, oldfd = 3, fd = 7} end,
    function(id) return {type = T.dup_post, id = id, pid = pid, oldfd = 3, fd = 7, rc = 7} end,
    function(id) return {type = T.chmod_post, id = id, pid = pid, fd = -100, name = paths.script, rc = 0} end,
    function(id) return {type = T.rename_post, id = id, pid = pid, fd = -100, name = paths.script,
                         oldname = paths.other, rc = -2} end,
    function(id) return {type = T.unlink_post, id = id, pid = pid, fd = -100, name = paths.log, rc = 0} end,
    function(id) return {type = T.write_pre, id = id, pid = pid} end,  -- not handled: an error reply
  }

  -- Unlink events are counted only by their own counter, not in total_events.
  local unlink_kind
  for k, make in ipairs(kinds) do
    if make(0).type == T.unlink_post then unlink_kind = k end
  end

  local replies, pushed, id, unlinks = {}, 0, 0, 0
  local function collect()
    for _, r in ipairs(sim.replies()) do replies[#replies + 1] = r end
  end
  local deadline = os.time() + FEED_SECONDS
  while os.time() < deadline do
    -- Keep the readers busy without letting the backlog grow without bound.
    if pushed - #replies < 64 then
      for _ = 1, 16 do
        id = id + 1
        local kind = id % #kinds + 1
        sim.push(kinds[kind](id), id % READERS + 1)
        pushed = pushed + 1
        if kind == unlink_kind then unlinks = unlinks + 1 end
      end
    else
      sleep(0.001)
    end
    collect()
  end
  assert(io.open(done_file, "w")):close()
  wait_until(function() collect() return #replies >= pushed end, "a reply to every event", 60)
  sleep(0.1)
  collect()
  sim.shutdown()

  t.eq(#replies, pushed, "replies")
  local seen = {}
  for _, r in ipairs(replies) do
    if seen[r.id] then fail("two replies to event %d", r.id) end
    if r.id < 1 or r.id > pushed then fail("reply to an unknown event %d", r.id) end
    if r.reply < lacdc.REPLY_ERROR or r.reply > lacdc.REPLY_TRACKFILE then
      fail("reply code %d to event %d", r.reply, r.id)
    end
    seen[r.id] = true
  end
  local after = lacdc.EventAbstractionStats()
  local function delta(k) return after[k] - before[k] end
  t.eq(delta("event_unlink_post"), unlinks, "unlink events")
  t.eq(delta("total_events"), pushed - unlinks, "events counted by the fast path")
  t.eq(delta("eagain_return") + delta("lua_return") + delta("event_not_handled"), pushed - unlinks,
       "every event ends one way")
  if pushed < 100 then fail("only %d events in %d seconds", pushed, FEED_SECONDS) end
  t.kill(pid)
  print(string.format("stress: %d events, %d of them through Lua", pushed,
                      after.lua_return - before.lua_return))
end

local function reader()
  wait_until(function() return exists(ready_file) end, "the driver")
  local h = assert(lacdc.open(sim.exitchannel()))
  lacdc.profiler(ac.ProfilerBindings())
  local lockdown = worker % 2
  local n = 0
  while true do
    local ev, code, msg = h:get(100, 1, lockdown, 0, worker == 3 and dir or "", 0, 0)
    if ev then
      n = n + 1
      if not ev.bind_action then
        -- What a policy does: decide, remember the verdict, answer.
        if ev.realpath == paths.other and n % 2 == 0 then lacdc.AddToCache(ev.realpath, 1) end
        assert(h:reply(ev, lacdc.REPLY_ALLOW))
      end
    elseif code == -2 then
      break
    elseif code ~= -4 then
      fail("get: %s", tostring(msg))
    end
  end
  h:close()
end

local function churner()
  wait_until(function() return exists(pid_file) end, "the sleeper")
  local pid = tonumber(assert(io.open(pid_file)):read("*a"))
  local rulesets = {"ruleset-1-2-3-4", "ruleset-5-6-7-8"}
  local i = 0
  -- A getfilefilter answer as the driver gives it: sizes at 8 and 12, id at 16.
  local filter_reply = string.rep("\0", 8) .. "\32\0\0\0\32\0\0\0\7\0\0\0"
  -- Until the feeder is done (or has already removed the directory).
  local function finished() return exists(done_file) or not exists(pid_file) end
  while i % 64 ~= 0 or not finished() do
    i = i + 1
    local k = (i * 7 + worker) % 23
    if k == 0 then lacdc.AddToCache(paths.tool, 1)
    elseif k == 1 then lacdc.AddToCache(paths.tool, 3, rulesets[i % 2 + 1])
    elseif k == 2 then lacdc.AddToCache(paths.tool, 2)
    elseif k == 3 then lacdc.RemoveFromCache(paths.tool)
    elseif k == 4 then lacdc.AddToCache("/usr/bin/true", 1)
    elseif k == 5 then lacdc.RemoveFromCache(paths.other)
    elseif k == 6 then lacdc.IsCached(paths.tool, {})
    elseif k == 7 then if i % 97 == 0 then lacdc.ClearCache() end
    elseif k == 8 then lacdc.DriftOpen(pid, 3)
    elseif k == 9 then lacdc.DriftClose(pid, 3)
    elseif k == 10 then lacdc.DriftCondOpen(pid, 7)
    elseif k == 11 then lacdc.DriftDupTrackPossibleClose(pid, 3, 7)
    elseif k == 12 then lacdc.DriftDup(pid, 3, 7)
    elseif k == 13 then lacdc.DriftOpen(pid + worker, i % 64)
    elseif k == 14 then lacdc.DriftClose(pid + worker, (i - 5) % 64)
    elseif k == 15 then lacdc.DriftFreshFilter(filter_reply)
    elseif k == 16 then if i % 211 == 0 then lacdc.DriftClear() end
    elseif k == 17 then lacdc.DriftStats()
    elseif k == 18 then lacdc.CacheStats()
    elseif k == 19 then lacdc.EventAbstractionStats(); lacdc.BindStats()
    elseif k == 20 then lacdc.GetProcessInterpreterType(pid, "/bin/dash")
    elseif k == 21 then ac.RemoveProcess(pid)
    elseif i % 2 == 0 then ac.ProcCacheStats()
    else
      -- the profiler hooks, switched off and on while the readers call them
      if i % 4 == 1 then lacdc.profiler() else lacdc.profiler(ac.ProfilerBindings()) end
    end
  end
end

if worker == 1 then
  -- The readers stop only on shutdown and the churners on the done file: give
  -- both whatever happened.
  local ok, err = pcall(feeder)
  if not ok then
    pcall(function() assert(io.open(done_file, "w")):close() end)
    sim.shutdown()
  end
  -- Wait for the others to let go of the directory before removing it.
  sleep(0.2)
  os.execute("rm -rf " .. dir)
  assert(ok, err)
elseif worker <= 1 + READERS then
  reader()
else
  churner()
end
