-- Object cache from several Lua states in several threads at once. Each
-- worker stores, looks up and removes its own paths and checks its entries
-- after every step, while all fight over a few shared paths; the path set
-- (salt "s3", up to 8 workers of 32 paths and 16 shared) has no two paths in
-- one slot (test_object_cache.lua checks that). Exact per-kind counts under
-- threads are in object_cache_test.cpp; here the totals of CacheStats must
-- match what all the Lua calls did, then again after each worker has cleared.
local t = require "testlib"
local lacdc = require "lacdc"

local PER_WORKER, SHARED, ROUNDS = 32, 16, 300
assert(worker and workers <= 8, "run under acagent with at most 8 workers: the path set has no more")

local function own(i) return string.format("/mt/object-cache/s3/w%d/f%d", worker, i) end
local function shared(j) return string.format("/mt/object-cache/s3/shared/%d", j) end
local function ruleset(i, round) return string.format("ruleset-%d-%d-%d-1", worker, i, round) end
local KIND = {"add_approved", "add_unrecognized", "add_block"}
local function stored(ct) return (ct == 2 or ct == 3) and ct or 1 end

-- What this worker's calls add to the counters; every worker does the same.
local mine = {add_approved = 0, add_unrecognized = 0, add_block = 0, adds = 0, lookups = 0, removes = 0}
local function add(path, ct, rs)
  t.eq(lacdc.AddToCache(path, ct, rs), true, "AddToCache " .. path)
  mine[KIND[stored(ct)]] = mine[KIND[stored(ct)]] + 1
  mine.adds = mine.adds + 1
end
local function lookup(path, info)
  mine.lookups = mine.lookups + 1
  return lacdc.IsCached(path, info)
end
local function remove(path)
  mine.removes = mine.removes + 1
  return lacdc.RemoveFromCache(path)
end
local function check_own(round, present)
  for i = 1, PER_WORKER do
    local want = present(i) and stored(i % 4) or 0
    local ct, rs = lookup(own(i))
    t.eq(ct .. " " .. tostring(rs), want .. " " .. tostring(want == 3 and ruleset(i, round) or nil), own(i))
  end
end
local function all() return true end

local script = arg and arg[0]
for round = 1, ROUNDS do
  for i = 1, PER_WORKER do add(own(i), i % 4, ruleset(i, round)) end
  check_own(round, all)
  for i = 1, PER_WORKER, 2 do t.eq(remove(own(i)), true, "remove own") end
  check_own(round, function(i) return i % 2 == 0 end)
  for i = 1, PER_WORKER, 2 do add(own(i), i % 4, ruleset(i, round)) end
  -- The shared paths: outcomes depend on the other workers.
  for j = 1, SHARED do
    add(shared(j), (j + round) % 5, "ruleset-9-9-9-9")
    local ct, rs = lookup(shared(j))
    t.eq(ct <= 3 and rs == (ct == 3 and "ruleset-9-9-9-9" or nil), true,
         "shared lookup " .. shared(j) .. " gave " .. ct .. " " .. tostring(rs))
    if (j + round) % 3 == 0 then t.eq(type(remove(shared(j))), "boolean", "remove shared") end
  end
  -- A miss that reads the file status (the script itself: an eligible file).
  if script then
    local info = {}
    t.eq(lookup(script, info), 0, "script is not cached")
    t.eq(type(info.size) == "number" and info.size > 0 and type(info.isexec) == "boolean", true, "file status")
  end
end
check_own(ROUNDS, all)

-- Waits (bounded) until fn(stats) holds; returns those stats.
local function await(what, fn)
  local deadline = os.time() + 60
  while true do
    local s = lacdc.CacheStats()
    if fn(s) then return s end
    if os.time() > deadline then error("timed out waiting for " .. what) end
  end
end
local function sum(s, ...)
  local n = 0
  for _, k in ipairs {...} do n = n + s[k] end
  return n
end

-- Everyone's first phase is over when all adds and removals are counted and
-- the lookups have reached their total (nobody looks up again before every
-- worker has cleared, below).
local W = workers
local function lookups(s) return sum(s, "hit_approved", "hit_unrecognized", "hit_block", "miss") end
local s = await("all workers", function(s)
  return sum(s, table.unpack(KIND)) == W * mine.adds and sum(s, "removehit", "removemiss") == W * mine.removes
     and lookups(s) >= W * mine.lookups
end)
for _, k in ipairs(KIND) do t.eq(s[k], W * mine[k], k) end
t.eq(lookups(s), W * mine.lookups, "lookups")
t.eq(s.removefail, 0, "removefail")
t.eq(s.clear < W, true, "clear before every worker cleared")

-- Second phase: every worker clears once; then nothing is cached.
t.eq(select("#", lacdc.ClearCache()), 0, "ClearCache results")
s = await("all clears", function(s) return s.clear >= W end)
t.eq(s.clear, W, "clear")
for i = 1, PER_WORKER do t.eq(lacdc.IsCached(own(i)), 0, "after clear " .. own(i)) end
for j = 1, SHARED do t.eq(lacdc.IsCached(shared(j)), 0, "after clear " .. shared(j)) end
t.eq(sum(lacdc.CacheStats(), table.unpack(KIND)), W * mine.adds, "adds after clear")
