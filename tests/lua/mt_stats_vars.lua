-- Statistics variables from several Lua states in several threads (run under
-- acagent): increments are never lost, and each state keeps its own names.
local ac = require "ac"
assert(workers and worker, "run under acagent")

local ROUNDS = 50000
local SHARED, DONE, READY, OWN_BASE = 120, 121, 123, 100

local function fail(fmt, ...) error(string.format("worker %d: " .. fmt, worker, ...), 2) end

-- Spins until `slot` has counted every worker.
local function await(slot, what)
  ac.IncStatsVar(slot)
  local deadline = os.time() + 60
  while (ac.GetStatsVar(slot) or 0) < workers do
    if os.time() > deadline then fail("other workers did not %s", what) end
  end
end

-- Every state names the shared slots alike but "mine" differently.
local names = {shared = SHARED, done = DONE, mine = OWN_BASE + worker}
ac.InitStats(names)
await(READY, "start")  -- so that the increments really overlap

for i = 1, ROUNDS do
  ac.IncStatsVar("shared")
  ac.IncStatsVar("mine", 2)
  if i % 1000 == 0 then ac.IncStatsVar(SHARED, -1); ac.IncStatsVar(SHARED, 1) end
end
await(DONE, "finish")

if ac.GetStatsVar("shared") ~= workers * ROUNDS then
  fail("shared slot %s, want %d", tostring(ac.GetStatsVar("shared")), workers * ROUNDS)
end
if ac.GetStatsVar("mine") ~= 2 * ROUNDS then fail("own slot %s", tostring(ac.GetStatsVar("mine"))) end
if ac.StatNames() ~= names or ac.StatNames().mine ~= OWN_BASE + worker then
  fail("the name index of this state was replaced")
end
local all = ac.GetStatsAll()
for w = 1, workers do
  if all[OWN_BASE + w] ~= 2 * ROUNDS then fail("slot of worker %d: %s", w, tostring(all[OWN_BASE + w])) end
end
