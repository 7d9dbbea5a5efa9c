-- Filter set from several Lua states in several threads (run under acagent):
-- concurrent adds lose no bit and no count.
local ac = require "ac"
assert(workers and worker, "run under acagent")

local PER_WORKER, DONE = 3000, 122

local function fail(fmt, ...) error(string.format("worker %d: " .. fmt, worker, ...), 2) end

-- Worker w adds the numbers w, w + workers, ... : distinct bit positions.
for i = 0, PER_WORKER - 1 do
  local n = worker + i * workers
  ac.AddToFilterSet(n)
  if not ac.IsLikelyInSet(n) then fail("bypassed query for %d answered false", n) end
end
ac.IncStatsVar(DONE)

local deadline = os.time() + 60
while (ac.GetStatsVar(DONE) or 0) < workers do
  if os.time() > deadline then fail("other workers did not finish") end
end

local total = workers * PER_WORKER
local s = ac.FilterSetStats()
if s.count ~= total or ac.GetfilledPositionsCount() ~= total then fail("count %d, want %d", s.count, total) end
if s.add ~= total then fail("add counter %d, want %d", s.add, total) end
if s.minSize ~= 1 or s.maxSize ~= total then fail("bounds %d..%d", s.minSize, s.maxSize) end
if s.bypassed < PER_WORKER then fail("bypassed counter %d", s.bypassed) end
