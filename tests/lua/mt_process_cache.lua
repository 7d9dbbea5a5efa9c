-- Several Lua states in several threads use the process cache at once. Each
-- worker owns its own slots, so an entry it stored may vanish only when some
-- worker's ClearProcessCache was counted between the store and the lookup.
local ac = require "ac"

local w, n = worker or 1, workers or 1
local span = math.floor(1024 / n)
local name = "worker" .. w
local lost, cleared_away = 0, 0

for round = 1, 60 do
  for i = 0, span - 1 do
    local pid = (w - 1) * span + i + round * 1024  -- another pid for the same slot each round
    local type = 2 + (i + round) % 32
    local before = ac.ProcCacheStats().procclear
    ac.AddProcess(pid, type, name)
    local got = ac.GetProcess(pid, name)
    local after = ac.ProcCacheStats().procclear
    if got ~= type then
      if after == before then lost = lost + 1 else cleared_away = cleared_away + 1 end
      assert(got == nil, "a lookup returned another worker's type")
    end
    if i % 2 == 0 then
      ac.RemoveProcess(pid)
      assert(select("#", ac.GetProcess(pid, name)) == 0, "a removed entry is gone")
    end
  end
  if round % 10 == w % 10 then ac.ClearProcessCache() end
end

assert(lost == 0, string.format("worker %d lost %d entries", w, lost))

-- The counters only grow while all workers run.
local last = ac.ProcCacheStats()
for _ = 1, 200 do
  ac.AddProcess((w - 1) * span, 1, name)  -- a slot of this worker
  local now = ac.ProcCacheStats()
  for k, v in pairs(now) do assert(v >= last[k] or last[k] - v > 2^31, k .. " went back") end
  last = now
end
