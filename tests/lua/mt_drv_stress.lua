-- acagent workers: 6
-- Stress over the simulated driver, for ThreadSanitizer above all: worker 1
-- feeds records from a real process to the readers (workers 2-4), which run
-- get on handles of their own while the others churn the caches, the drift
-- tracker and the profiler hooks under them; every event gets one reply.
local t, d, ac = require "testlib", require "drvlib", require "ac"
local sim, lacdc, T = d.sim, d.lacdc, d.T
local READERS = 3  -- then at least one churner
-- tool: decided by the cache; other: usually not cached; new.sh (tracked, closed) and app.log (filtered out)
local dir = "/srv/acengine-stress." .. d.mypid
local tool, other, script, log = dir .. "/tool", dir .. "/other", dir .. "/new.sh", dir .. "/app.log"
local ready_file, done_file, pid_file = dir .. "/ready", dir .. "/done", dir .. "/pid"
local function exists(path) return d.readfile(path) ~= nil end
local function feeder()
  sim.reset()
  os.execute("rm -rf " .. dir .. " && mkdir -p " .. dir)
  for _, p in ipairs {tool, other, script, log} do d.write(p, "#!/bin/sh\nexit 0\n", p == log and 420 or 493) end
  -- descriptors 3 and 4 open for writing, 5 on the tool (for mmap events)
  local pid = t.spawn_sleep(60, dir, ("3>>%s 4>>%s 5<%s"):format(script, log, tool))
  d.write(pid_file, tostring(pid))
  sim.setup{hook = true, driver = true, node = true}
  d.write(ready_file)
  d.wait_until(function() return sim.status().handles == READERS end, "the readers' handles")
  -- One record of each kind the fast path treats differently: type, fd (false: an untracked one, enough of
  -- them ask for a fresh filter), name, rc, flags, oldfd, oldname. The last is not handled: an error reply.
  local kinds = {
    {"execve_pre", -100, tool}, {"execve_pre", -100, other}, {"execve_pre", -100, "/usr/bin/true"}, {"mmap_pre", 5},
    {"open_post", 3, script, 3, 0x41}, {"open_post", 4, log, 4, 0x40}, {"close_pre", 3}, {"close_pre", 4},
    {"close_pre", false}, {"dup_pre", 7, nil, nil, nil, 3}, {"dup_post", 7, nil, 7, nil, 3}, {"chmod_post", -100, script, 0},
    {"rename_post", -100, script, -2, nil, nil, other}, {"unlink_post", -100, log, 0}, {"write_pre"},
  }
  local before = lacdc.EventAbstractionStats()
  local replies, pushed, unlinks = {}, 0, 0  -- unlink_post is counted apart from total_events
  local function collect() for _, r in ipairs(sim.replies()) do replies[#replies + 1] = r end end
  local deadline = os.time() + 3
  while os.time() < deadline or pushed < 200 do  -- a slow machine still gets its share
    for _ = 1, pushed - #replies < 64 and 16 or 0 do  -- keep the readers busy, the backlog bounded
      pushed = pushed + 1
      local k = kinds[pushed % #kinds + 1]
      unlinks = unlinks + (k[1] == "unlink_post" and 1 or 0)
      sim.push({id = pushed, pid = pid, type = T[k[1]], fd = k[2] == false and 40 + pushed % 20 or k[2], name = k[3],
                rc = k[4], flags = k[5], oldfd = k[6], oldname = k[7]}, pushed % READERS + 1)
    end
    os.execute("sleep 0.001")
    collect()
  end
  d.write(done_file)
  d.wait_until(function() collect() return #replies >= pushed end, "a reply to every event")
  os.execute("sleep 0.1")
  collect()
  sim.shutdown()  -- the readers stop
  local seen, after = {}, lacdc.EventAbstractionStats()
  for _, r in ipairs(replies) do  -- one reply to a known event, a known code
    t.eq(not seen[r.id] and r.id <= pushed and r.reply >= lacdc.REPLY_ERROR and r.reply <= lacdc.REPLY_TRACKFILE, true, r.id)
    seen[r.id] = true
  end
  local function delta(k) return after[k] - before[k] end
  t.eq(#replies .. " " .. delta("event_unlink_post") .. " " .. delta("total_events") .. " " .. delta("eagain_return") +
       delta("lua_return") + delta("event_not_handled"), pushed .. " " .. unlinks .. " " .. (pushed - unlinks) .. " " ..
       (pushed - unlinks), "replies, unlinks, events counted by the fast path, each ended one way")
  t.kill(pid)
end
local function reader()
  d.wait_until(function() return exists(ready_file) end, "the driver")
  local h, n = assert(lacdc.open(sim.exitchannel())), 0
  lacdc.profiler(ac.ProfilerBindings())
  while true do
    local ev, code, msg = h:get(100, 1, worker % 2, 0, worker == 3 and dir or "", 0, 0)
    if code == -2 then break end
    t.eq(ev ~= nil or code == -4, true, "get: " .. tostring(msg))
    n = n + 1
    if ev and not ev.bind_action then  -- what a policy does: decide, remember the verdict, answer
      if ev.realpath == other and n % 2 == 0 then lacdc.AddToCache(other, 1) end
      assert(h:reply(ev, lacdc.REPLY_ALLOW))
    end
  end
  h:close()
end
local function churner()
  local pid  -- the file may exist before the feeder has written it
  d.wait_until(function() pid = tonumber(d.readfile(pid_file) or "") return pid end, "the sleeper")
  local ops = {
    function(i) lacdc.AddToCache(tool, i % 3 + 1, "ruleset-1-2-3-" .. i % 7) end,
    function() lacdc.RemoveFromCache(tool); lacdc.RemoveFromCache(other) end,
    function() lacdc.IsCached(tool, {}) end,
    function(i) if i % 97 == 0 then lacdc.ClearCache() end end,
    function() lacdc.DriftOpen(pid, 3); lacdc.DriftCondOpen(pid, 7) end,
    function() lacdc.DriftClose(pid, 3); lacdc.DriftDupTrackPossibleClose(pid, 3, 7); lacdc.DriftDup(pid, 3, 7) end,
    function(i) lacdc.DriftOpen(pid + worker, i % 64); lacdc.DriftClose(pid + worker, (i - 5) % 64) end,
    function() lacdc.DriftFreshFilter(("\0"):rep(8) .. "\32\0\0\0\32\0\0\0\7\0\0\0") end,  -- a getfilefilter answer
    function(i) if i % 211 == 0 then lacdc.DriftClear() end end,
    function() lacdc.DriftStats(); lacdc.CacheStats(); lacdc.EventAbstractionStats(); lacdc.BindStats() end,
    function() lacdc.GetProcessInterpreterType(pid, "/bin/dash"); ac.RemoveProcess(pid); ac.ProcCacheStats() end,
    function(i) if i % 2 == 1 then lacdc.profiler() else lacdc.profiler(ac.ProfilerBindings()) end end,  -- under the readers
  }
  local i = 0  -- until the feeder is done (or has already removed the directory)
  while i % 64 ~= 0 or not (exists(done_file) or not exists(pid_file)) do
    i = i + 1
    ops[(i * 7 + worker) % #ops + 1](i)
  end
end
if worker == 1 then
  -- Readers stop on shutdown, churners on the done file, whatever happened; then the directory goes.
  local ok, err = pcall(feeder)
  if not ok then pcall(d.write, done_file); sim.shutdown() end
  os.execute("sleep 0.2; rm -rf " .. dir)
  assert(ok, err)
elseif worker <= 1 + READERS then
  reader()
else
  churner()
end
