-- Module ac's shared tables from several Lua states in several threads at
-- once (run under acagent): statistics variables, the filter set and the
-- process cache lose no update, and each state keeps its own stat names.
local ac, lacdc = require "ac", require "lacdc"
local w, n = assert(worker, "run under acagent"), workers
local function fail(fmt, ...) error(("worker %d: " .. fmt):format(w, ...), 2) end
assert(lacdc.EVENT_OPEN_PRE == 24 and ac.ErrNotExec == 13 and type(ac.dc) == "table", "modules opened")

-- Counts this worker in slot and spins until every worker has.
local function await(slot, what)
  ac.IncStatsVar(slot)
  local deadline = os.time() + 60
  while (ac.GetStatsVar(slot) or 0) < n do
    if os.time() > deadline then fail("other workers did not %s", what) end
  end
end

local ROUNDS, PER_WORKER, SHARED, OWN_BASE = 50000, 3000, 120, 100
local names = {shared = SHARED, mine = OWN_BASE + w}
ac.InitStats(names)
await(123, "start")  -- so that the updates really overlap
for i = 1, ROUNDS do
  ac.IncStatsVar("shared")
  ac.IncStatsVar("mine", 2)
  if i % 1000 == 0 then ac.IncStatsVar(SHARED, -1); ac.IncStatsVar(SHARED, 1) end
  if i <= PER_WORKER then  -- worker w adds w, w + n, ...: distinct bit positions
    ac.AddToFilterSet(w + (i - 1) * n)
    if not ac.IsLikelyInSet(w + (i - 1) * n) then fail("bypassed query answered false") end
  end
  if i % 250 == 0 then ac.EnterCriticalSection(); ac.LeaveCriticalSection() end
end
await(121, "finish")

local all, total, s = ac.GetStatsAll(), n * PER_WORKER, ac.FilterSetStats()
if all[SHARED] ~= n * ROUNDS then fail("shared slot %s", tostring(all[SHARED])) end
for v = 1, n do
  if all[OWN_BASE + v] ~= 2 * ROUNDS then fail("slot of worker %d: %s", v, tostring(all[OWN_BASE + v])) end
end
if ac.StatNames() ~= names or ac.GetStatsVar("mine") ~= 2 * ROUNDS then fail("this state's names were replaced") end
if s.count ~= total or ac.GetfilledPositionsCount() ~= total or s.add ~= total then fail("filter count %d", s.count) end
if s.minSize ~= 1 or s.maxSize ~= total or s.bypassed < PER_WORKER then fail("bounds %d..%d", s.minSize, s.maxSize) end

-- Process cache: each worker owns its slots, so an entry it stored may vanish
-- only when some worker's ClearProcessCache was counted in between.
local span, name = math.floor(1024 / n), "worker" .. w
for round = 1, 60 do
  for i = 0, span - 1 do
    local pid, type = (w - 1) * span + i + round * 1024, 2 + (i + round) % 32  -- another pid each round
    local before = ac.ProcCacheStats().procclear
    ac.AddProcess(pid, type, name)
    local got = ac.GetProcess(pid, name)
    if got ~= type and (got ~= nil or ac.ProcCacheStats().procclear == before) then fail("lost %d: %s", pid, tostring(got)) end
    if i % 2 == 0 then
      ac.RemoveProcess(pid)
      if select("#", ac.GetProcess(pid, name)) ~= 0 then fail("a removed entry stayed") end
    end
  end
  if round % 10 == w % 10 then ac.ClearProcessCache() end
end
