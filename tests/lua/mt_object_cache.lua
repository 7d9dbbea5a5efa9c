-- Object cache from several Lua states in several threads at once (run under
-- acagent; the globals `worker` and `workers` name this worker and the count).
--
-- Each worker stores, looks up and removes its own paths and checks after
-- every step that its own entries are there; beside that all workers fight
-- over a small set of shared paths. The path set below (salt "s3", up to 8
-- workers of 32 paths and 16 shared paths) was chosen so that no two of its
-- paths share a slot; test_object_cache.lua checks that property in a single
-- thread. Then the totals of CacheStats are checked against what every worker
-- did, after all workers are done, then once more after each has cleared.
local lacdc = require "lacdc"

local SALT, MAX_WORKERS, PER_WORKER, SHARED, ROUNDS = "s3", 8, 32, 16, 300
assert(workers and worker, "run under acagent")
assert(workers <= MAX_WORKERS, "at most " .. MAX_WORKERS .. " workers: the path set has no more")

local function own(w, i) return string.format("/mt/object-cache/%s/w%d/f%d", SALT, w, i) end
local function shared(j) return string.format("/mt/object-cache/%s/shared/%d", SALT, j) end
local function ruleset(i, round) return string.format("ruleset-%d-%d-%d-1", worker, i, round) end

local function fail(fmt, ...) error(string.format("worker %d: " .. fmt, worker, ...), 2) end
local function eq(got, want, what)
  if got ~= want then fail("%s: got %s, want %s", what, tostring(got), tostring(want)) end
end

-- What this worker adds to each counter; every worker does the same, so the
-- totals are `workers` times these. Shared lookups and removals may hit or
-- miss, so only their sums are known.
local mine = {add_approved = 0, add_unrecognized = 0, add_block = 0, hit_approved = 0,
              hit_unrecognized = 0, hit_block = 0, removehit = 0, miss = 0,
              lookups = 0, removes = 0, script_misses = 0}
local function stored_type(t) return (t == 2 or t == 3) and t or 1 end
local add_key = {[1] = "add_approved", [2] = "add_unrecognized", [3] = "add_block"}
local hit_key = {[1] = "hit_approved", [2] = "hit_unrecognized", [3] = "hit_block"}

local function add(path, t, rs)
  eq(lacdc.AddToCache(path, t, rs), true, "AddToCache " .. path)
  local k = add_key[stored_type(t)]
  mine[k] = mine[k] + 1
end

local function check_own(i, round, present)
  local path = own(worker, i)
  local ct, rs = lacdc.IsCached(path)
  mine.lookups = mine.lookups + 1
  if not present then
    eq(ct, 0, "removed entry " .. path)
    mine.miss = mine.miss + 1
    return
  end
  local want = stored_type(i % 4)
  eq(ct, want, "own entry " .. path)
  eq(rs, want == 3 and ruleset(i, round) or nil, "ruleset of " .. path)
  mine[hit_key[want]] = mine[hit_key[want]] + 1
end

local script = arg and arg[0]
for round = 1, ROUNDS do
  for i = 1, PER_WORKER do add(own(worker, i), i % 4, ruleset(i, round)) end
  for i = 1, PER_WORKER do check_own(i, round, true) end
  for i = 1, PER_WORKER, 2 do
    eq(lacdc.RemoveFromCache(own(worker, i)), true, "remove own")
    mine.removehit = mine.removehit + 1
    mine.removes = mine.removes + 1
  end
  for i = 1, PER_WORKER do check_own(i, round, i % 2 == 0) end
  for i = 1, PER_WORKER, 2 do add(own(worker, i), i % 4, ruleset(i, round)) end

  -- The shared paths: outcomes depend on the other workers.
  for j = 1, SHARED do
    local p = shared(j)
    add(p, (j + round) % 5, "ruleset-9-9-9-9")
    local ct, rs = lacdc.IsCached(p)
    mine.lookups = mine.lookups + 1
    if ct > 3 or (ct == 3 and rs ~= "ruleset-9-9-9-9") or (ct ~= 3 and rs ~= nil) then
      fail("shared lookup %s gave %s %s", p, tostring(ct), tostring(rs))
    end
    if (j + round) % 3 == 0 then
      local r = lacdc.RemoveFromCache(p)
      if type(r) ~= "boolean" then fail("RemoveFromCache gave %s", tostring(r)) end
      mine.removes = mine.removes + 1
    end
  end

  -- A miss that reads the file status (the script itself: an eligible file).
  if script then
    local info = {}
    eq(lacdc.IsCached(script, info), 0, "script is not cached")
    mine.lookups = mine.lookups + 1
    mine.miss = mine.miss + 1
    mine.script_misses = mine.script_misses + 1
    if type(info.size) ~= "number" or info.size <= 0 then fail("size of %s: %s", script, tostring(info.size)) end
    eq(type(info.isexec), "boolean", "isexec")
  end
  local s = lacdc.CacheStats()
  eq(s.removefail, 0, "removefail")
end
for i = 1, PER_WORKER do check_own(i, ROUNDS, true) end

-- Waits (bounded) until fn(stats) holds; returns those stats.
local function await(what, fn)
  local deadline = os.time() + 60
  while true do
    local s = lacdc.CacheStats()
    if fn(s) then return s end
    if os.time() > deadline then fail("timed out waiting for %s", what) end
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
local adds = mine.add_approved + mine.add_unrecognized + mine.add_block
local s = await("all workers", function(s)
  return sum(s, "add_approved", "add_unrecognized", "add_block") == W * adds
     and sum(s, "removehit", "removemiss") == W * mine.removes
     and sum(s, "hit_approved", "hit_unrecognized", "hit_block", "miss") >= W * mine.lookups
end)
eq(s.add_approved, W * mine.add_approved, "add_approved")
eq(s.add_unrecognized, W * mine.add_unrecognized, "add_unrecognized")
eq(s.add_block, W * mine.add_block, "add_block")
eq(sum(s, "hit_approved", "hit_unrecognized", "hit_block", "miss"), W * mine.lookups, "lookups")
for _, k in ipairs {"hit_approved", "hit_unrecognized", "hit_block", "miss", "removehit"} do
  if s[k] < W * mine[k] then fail("%s: %d, below the own entries' %d", k, s[k], W * mine[k]) end
end
for _, k in ipairs {"removefail", "stat_size_zero", "stat_not_file", "stat_too_big"} do
  eq(s[k], 0, k)
end
-- Every Lua lookup reads the file status on a miss: only the script exists.
eq(s.stat_fail, s.miss - W * mine.script_misses, "stat_fail")
if s.clear >= W then fail("clear %d before every worker cleared", s.clear) end

-- Second phase: every worker clears once; then nothing is cached.
eq(select("#", lacdc.ClearCache()), 0, "ClearCache results")
s = await("all clears", function(s) return s.clear >= W end)
eq(s.clear, W, "clear")
for i = 1, PER_WORKER do eq(lacdc.IsCached(own(worker, i)), 0, "after clear " .. own(worker, i)) end
for j = 1, SHARED do eq(lacdc.IsCached(shared(j)), 0, "after clear " .. shared(j)) end
s = lacdc.CacheStats()
eq(s.add_approved + s.add_unrecognized + s.add_block, W * adds, "adds after clear")
eq(s.clear, W, "clear at the end")
