-- Statistics variables from several Lua states in several threads at once (run
-- under acagent): increments are never lost, and each state keeps its own names.
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
local ROUNDS, SHARED, OWN_BASE = 50000, 120, 100
local names = {shared = SHARED, mine = OWN_BASE + w}
ac.InitStats(names)
await(123, "start")  -- so that the updates really overlap
for i = 1, ROUNDS do
  ac.IncStatsVar("shared")
  ac.IncStatsVar("mine", 2)
  if i % 1000 == 0 then ac.IncStatsVar(SHARED, -1); ac.IncStatsVar(SHARED, 1) end
  if i % 250 == 0 then ac.EnterCriticalSection(); ac.LeaveCriticalSection() end
end
await(121, "finish")
local all = ac.GetStatsAll()
if all[SHARED] ~= n * ROUNDS then fail("shared slot %s", tostring(all[SHARED])) end
for v = 1, n do
  if all[OWN_BASE + v] ~= 2 * ROUNDS then fail("slot of worker %d: %s", v, tostring(all[OWN_BASE + v])) end
end
if ac.StatNames() ~= names or ac.GetStatsVar("mine") ~= 2 * ROUNDS then fail("this state's names were replaced") end
