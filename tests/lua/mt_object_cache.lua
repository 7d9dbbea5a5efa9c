-- Object cache from several Lua states in several threads at once. Each
-- worker stores, looks up and removes its own paths and checks them after
-- every step, while all fight over a few shared paths; the path set (salt
-- "s3", up to 8 workers of 32 paths and 16 shared) has no two paths in one
-- slot (test_object_cache.lua checks that). The totals of CacheStats must
-- match what all the Lua calls did, then again after each worker has cleared.
local t = require "testlib"
local lacdc = require "lacdc"
local PER_WORKER, SHARED, ROUNDS, W = 32, 16, 300, workers
assert(worker and W <= 8, "run under acagent with at most 8 workers: the path set has no more")

local function own(i) return ("/mt/object-cache/s3/w%d/f%d"):format(worker, i) end
local function ruleset(i, round) return ("ruleset-%d-%d-%d-1"):format(worker, i, round) end
local KIND = {"add_approved", "add_unrecognized", "add_block"}
local function stored(ct) return (ct == 2 or ct == 3) and ct or 1 end
-- What this worker's calls add to the counters; every worker does the same.
local mine = {add_approved = 0, add_unrecognized = 0, add_block = 0, lookups = 0, removes = 0}
local function add(path, ct, rs)
  t.eq(lacdc.AddToCache(path, ct, rs), true, "AddToCache " .. path)
  mine[KIND[stored(ct)]] = mine[KIND[stored(ct)]] + 1
end
local function lookup(path) mine.lookups = mine.lookups + 1 return lacdc.IsCached(path) end
local function remove(path) mine.removes = mine.removes + 1 return lacdc.RemoveFromCache(path) end
local function check_own(round, odd)
  for i = 1, PER_WORKER do
    local want = (odd or i % 2 == 0) and stored(i % 4) or 0
    t.eq(t.show(lookup(own(i))), t.show(want, want == 3 and ruleset(i, round) or nil):gsub(", nil$", ""), own(i))
  end
end

for round = 1, ROUNDS do
  for i = 1, PER_WORKER do add(own(i), i % 4, ruleset(i, round)) end
  check_own(round, true)
  for i = 1, PER_WORKER, 2 do t.eq(remove(own(i)), true, "remove own") end
  check_own(round, false)
  for i = 1, PER_WORKER, 2 do add(own(i), i % 4, ruleset(i, round)) end
  for j = 1, SHARED do  -- outcomes depend on the other workers
    local path = "/mt/object-cache/s3/shared/" .. j
    add(path, (j + round) % 5, "ruleset-9-9-9-9")
    local ct, rs = lookup(path)
    t.eq(ct <= 3 and rs == (ct == 3 and "ruleset-9-9-9-9" or nil), true, "shared " .. path .. ": " .. ct)
    if (j + round) % 3 == 0 then remove(path) end
  end
end
check_own(ROUNDS, true)

-- Waits (bounded) until fn(stats) holds; returns those stats.
local function await(what, fn)
  local deadline = os.time() + 60
  while true do
    local s = lacdc.CacheStats()
    if fn(s) then return s end
    if os.time() > deadline then error("timed out waiting for " .. what) end
  end
end
local function adds(s) return s.add_approved + s.add_unrecognized + s.add_block end
local function lookups(s) return s.hit_approved + s.hit_unrecognized + s.hit_block + s.miss end
-- Everyone's first phase is over when all adds and removals are counted and the
-- lookups reached their total (nobody looks up again before all have cleared).
local total = mine.add_approved + mine.add_unrecognized + mine.add_block
local s = await("all workers", function(s)
  return adds(s) == W * total and s.removehit + s.removemiss == W * mine.removes and lookups(s) >= W * mine.lookups
end)
for _, k in ipairs(KIND) do t.eq(s[k], W * mine[k], k) end
t.eq(lookups(s) .. " " .. s.removefail, W * mine.lookups .. " 0", "lookups, removefail")
t.eq(s.clear < W, true, "clear before every worker cleared")
lacdc.ClearCache()
t.eq(await("all clears", function(s) return s.clear >= W end).clear, W, "clear")
for i = 1, PER_WORKER do t.eq(lacdc.IsCached(own(i)), 0, "after clear " .. own(i)) end
t.eq(adds(lacdc.CacheStats()), W * total, "adds after clear")
