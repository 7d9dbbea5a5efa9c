-- acagent workers: 6
-- Stress over the simulated driver, for ThreadSanitizer above all: worker 1
-- feeds records from a real process to the readers (workers 2-4), which run
-- get on handles of their own while the others churn the caches, the drift
-- tracker and the profiler hooks under them; every event gets one reply.
local t = require "testlib"
local d = require "drvlib"
local ac = require "ac"
local sim, lacdc, T = d.sim, d.lacdc, d.T
local FEED_SECONDS, READERS = 3, 3
assert(worker and workers >= READERS + 2, "run under acagent with a feeder, the readers and a churner")

-- Every worker knows the work directory: it is named after the process.
local dir = "/srv/acengine-stress." .. d.mypid
-- tool: decided by the cache; other: usually not cached; the sleeper writes
-- new.sh (tracked, then closed) and app.log (filtered out at close)
local paths = {tool = dir .. "/tool", other = dir .. "/other", script = dir .. "/new.sh", log = dir .. "/app.log"}
local ready_file, done_file, pid_file = dir .. "/ready", dir .. "/done", dir .. "/pid"
local function exists(path) return d.readfile(path) ~= nil end

local function feeder()
  sim.reset()
  os.execute("rm -rf " .. dir .. " && mkdir -p " .. dir)
  for _, p in pairs(paths) do d.write(p, "#!/bin/sh\nexit 0\n", p == paths.log and 420 or 493) end
  -- descriptors 3 and 4 open for writing, 5 on the tool (for mmap events)
  local pid = t.spawn_sleep(60, dir, ("3>>%s 4>>%s 5<%s"):format(paths.script, paths.log, paths.tool))
  d.write(pid_file, tostring(pid))
  sim.setup{hook = true, driver = true, node = true}
  d.write(ready_file)
  d.wait_until(function() return sim.status().handles == READERS end, "the readers' handles")
  -- One record of each kind the fast path treats differently; fd false: an
  -- untracked descriptor (enough of them make the fast path ask for a fresh filter).
  local kinds = {  -- type, fd, name, rc, flags, oldfd, oldname; unlink_post is counted apart from total_events
    {"execve_pre", -100, paths.tool}, {"execve_pre", -100, paths.other}, {"execve_pre", -100, "/usr/bin/true"},
    {"mmap_pre", 5}, {"open_post", 3, paths.script, 3, 0x41}, {"open_post", 4, paths.log, 4, 0x40}, {"close_pre", 3},
    {"close_pre", 4}, {"close_pre", false}, {"dup_pre", 7, nil, nil, nil, 3}, {"dup_post", 7, nil, 7, nil, 3},
    {"chmod_post", -100, paths.script, 0}, {"rename_post", -100, paths.script, -2, nil, nil, paths.other},
    {"unlink_post", -100, paths.log, 0}, {"write_pre"},  -- the last not handled: an error reply
  }
  local before = lacdc.EventAbstractionStats()
  local replies, pushed, unlinks = {}, 0, 0
  local function collect() for _, r in ipairs(sim.replies()) do replies[#replies + 1] = r end end
  local deadline = os.time() + FEED_SECONDS
  while os.time() < deadline do
    if pushed - #replies < 64 then  -- keep the readers busy, the backlog bounded
      for _ = 1, 16 do
        pushed = pushed + 1
        local k = kinds[pushed % #kinds + 1]
        local rec = {id = pushed, pid = pid, type = T[k[1]], fd = k[2] == false and 40 + pushed % 20 or k[2], name = k[3],
                     rc = k[4], flags = k[5], oldfd = k[6], oldname = k[7]}
        if rec.type == T.unlink_post then unlinks = unlinks + 1 end
        sim.push(rec, pushed % READERS + 1)
      end
    else
      os.execute("sleep 0.001")
    end
    collect()
  end
  d.write(done_file)
  d.wait_until(function() collect() return #replies >= pushed end, "a reply to every event")
  os.execute("sleep 0.1")
  collect()
  sim.shutdown()
  local seen = {}
  for _, r in ipairs(replies) do
    t.eq(not seen[r.id] and r.id >= 1 and r.id <= pushed and r.reply >= lacdc.REPLY_ERROR and r.reply <= lacdc.REPLY_TRACKFILE,
         true, "one reply to a known event: " .. r.id .. " " .. r.reply)
    seen[r.id] = true
  end
  local after = lacdc.EventAbstractionStats()
  local function delta(k) return after[k] - before[k] end
  t.eq(#replies .. " " .. delta("event_unlink_post") .. " " .. delta("total_events"),
       pushed .. " " .. unlinks .. " " .. pushed - unlinks, "replies, unlink events, events counted by the fast path")
  t.eq(delta("eagain_return") + delta("lua_return") + delta("event_not_handled"), pushed - unlinks, "every event ends one way")
  t.eq(pushed >= 100, true, "only " .. pushed .. " events in " .. FEED_SECONDS .. " seconds")
  t.kill(pid)
  print(("stress: %d events, %d of them through Lua"):format(pushed, delta("lua_return")))
end

local function reader()
  d.wait_until(function() return exists(ready_file) end, "the driver")
  local h = assert(lacdc.open(sim.exitchannel()))
  lacdc.profiler(ac.ProfilerBindings())
  local n = 0
  while true do
    local ev, code, msg = h:get(100, 1, worker % 2, 0, worker == 3 and dir or "", 0, 0)
    if ev then
      n = n + 1
      if not ev.bind_action then  -- what a policy does: decide, remember the verdict, answer
        if ev.realpath == paths.other and n % 2 == 0 then lacdc.AddToCache(ev.realpath, 1) end
        assert(h:reply(ev, lacdc.REPLY_ALLOW))
      end
    elseif code == -2 then
      break
    else
      t.eq(code, -4, "get: " .. tostring(msg))
    end
  end
  h:close()
end

local function churner()
  local pid  -- the file may exist before the feeder has written it
  d.wait_until(function() pid = tonumber(d.readfile(pid_file) or "") return pid end, "the sleeper")
  -- A getfilefilter answer as the driver gives it: sizes at 8 and 12, id at 16.
  local filter_reply = ("\0"):rep(8) .. "\32\0\0\0\32\0\0\0\7\0\0\0"
  local ops = {
    function(i) lacdc.AddToCache(paths.tool, i % 3 + 1, "ruleset-1-2-3-" .. i % 7) end,
    function() lacdc.RemoveFromCache(paths.tool); lacdc.RemoveFromCache(paths.other) end,
    function() lacdc.IsCached(paths.tool, {}) end,
    function(i) if i % 97 == 0 then lacdc.ClearCache() end end,
    function() lacdc.DriftOpen(pid, 3); lacdc.DriftCondOpen(pid, 7) end,
    function() lacdc.DriftClose(pid, 3); lacdc.DriftDupTrackPossibleClose(pid, 3, 7); lacdc.DriftDup(pid, 3, 7) end,
    function(i) lacdc.DriftOpen(pid + worker, i % 64); lacdc.DriftClose(pid + worker, (i - 5) % 64) end,
    function() lacdc.DriftFreshFilter(filter_reply) end,
    function(i) if i % 211 == 0 then lacdc.DriftClear() end end,
    function() lacdc.DriftStats(); lacdc.CacheStats(); lacdc.EventAbstractionStats(); lacdc.BindStats() end,
    function() lacdc.GetProcessInterpreterType(pid, "/bin/dash"); ac.RemoveProcess(pid) end,
    function(i)
      if i % 2 == 0 then ac.ProcCacheStats()
      elseif i % 4 == 1 then lacdc.profiler()  -- the hooks, switched off and on while the readers call them
      else lacdc.profiler(ac.ProfilerBindings()) end
    end,
  }
  -- Until the feeder is done (or has already removed the directory).
  local i = 0
  while i % 64 ~= 0 or not (exists(done_file) or not exists(pid_file)) do
    i = i + 1
    ops[(i * 7 + worker) % #ops + 1](i)
  end
end

if worker == 1 then
  -- The readers stop only on shutdown and the churners on the done file: give
  -- both whatever happened, then let them go of the directory before removing it.
  local ok, err = pcall(feeder)
  if not ok then pcall(d.write, done_file); sim.shutdown() end
  os.execute("sleep 0.2")
  os.execute("rm -rf " .. dir)
  assert(ok, err)
elseif worker <= 1 + READERS then
  reader()
else
  churner()
end
