-- The shared tables from several Lua states in several threads at once (run
-- under acagent): object cache, filter set, process cache and drift ring. Each
-- worker hammers its own keys; once all are done the totals must be exact.
local ac, lacdc = require "ac", require "lacdc"
local w, n = assert(worker, "run under acagent"), workers
local function check(cond, what, ...) if not cond then error(what:format(...), 2) end end
-- Counts this worker in a statistics slot and waits until every worker has.
local function await(slot)
  ac.IncStatsVar(slot)
  local deadline = os.time() + 60
  while (ac.GetStatsVar(slot) or 0) < n do check(os.time() <= deadline, "other workers did not reach %d", slot) end
end
await(121)  -- so that the updates really overlap
local ROUNDS, span, drift_pid = 4000, math.floor(1024 / n), 0x20000000 + w * 0x10000  -- never a live process
for i = 1, ROUNDS do
  local path = ("/mt/tables/w%d/%d"):format(w, i % 50)
  check(lacdc.AddToCache(path, i % 4, "ruleset-1-2-3-4"), "AddToCache")
  local ct = lacdc.IsCached(path)
  check(ct <= 3, "IsCached gave %d", ct)
  if i % 2 == 0 then lacdc.RemoveFromCache(path) end
  ac.AddToFilterSet(w + (i - 1) * n)  -- distinct numbers: distinct bits
  local pid = (w - 1) + n * (i % span) + 1024 * i  -- slots of this worker only, another pid each round
  ac.AddProcess(pid, 2 + i % 32, "worker" .. w)
  check(ac.GetProcess(pid, "worker" .. w) == 2 + i % 32, "process %d lost", pid)
  if i % 4 == 0 then ac.RemoveProcess(pid) end
  lacdc.DriftOpen(drift_pid, 1)
  lacdc.DriftCondOpen(drift_pid, 1)  -- found
  lacdc.DriftCondOpen(drift_pid, 2)  -- added
  check(lacdc.DriftClose(drift_pid, 1) == true and lacdc.DriftClose(drift_pid, 2) == true, "drift close")
end
await(120)
local N = n * ROUNDS
local function expect(what, got, want)
  for k, v in pairs(want) do check(got[k] == v, "%s %s = %s, want %s", what, k, tostring(got[k]), v) end
end
-- i % 4: 0 and 1 approved, 2 unrecognized, 3 block; every other path removed.
local c = lacdc.CacheStats()
c.lookups, c.removes = c.hit_approved + c.hit_unrecognized + c.hit_block + c.miss, c.removehit + c.removemiss
expect("cache", c, {add_approved = N / 2, add_unrecognized = N / 4, add_block = N / 4, lookups = N, removes = N / 2,
  removefail = 0})
expect("filter set", ac.FilterSetStats(), {count = N, add = N, minSize = 1, maxSize = N})
check(ac.GetfilledPositionsCount() == N, "filled positions")
expect("process cache", ac.ProcCacheStats(), {procadd = N, prochit = N, procmiss = 0, procremovehit = N / 4,
  procchange = 0, procclear = 0, procremovemiss = 0})
expect("drift", lacdc.DriftStats(), {track = 2 * N, open = N, condfound = N, condopen = N, found = 2 * N,
  notfound = 0, overflow = 0, losttrack = 0, current = 0})
