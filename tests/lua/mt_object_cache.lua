-- Object cache from several Lua states in several threads at once (run under
-- acagent; the globals `worker` and `workers` name this worker and the count).
--
-- Each worker stores, looks up and removes its own paths and checks after
-- every step that its own entries are there; beside that all workers fight
-- over a small set of shared paths. The path set (salt "s3", up to 8 workers
-- of 32 paths and 16 shared paths) has no two paths in one slot;
-- test_object_cache.lua checks that in a single thread. The totals of
-- CacheStats are checked against what every worker did once all are done,
-- then once more after each has cleared.
local lacdc = require "lacdc"

local MAX_WORKERS, PER_WORKER, SHARED, ROUNDS = 8, 32, 16, 300
assert(workers and worker, "run under acagent")
assert(workers <= MAX_WORKERS, "at most " .. MAX_WORKERS .. " workers: the path set has no more")

local function own(i) return string.format("/mt/object-cache/s3/w%d/f%d", worker, i) end
local function shared(j) return string.format("/mt/object-cache/s3/shared/%d", j) end
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
local KIND = {"approved", "unrecognized", "block"}
local function stored_type(t) return (t == 2 or t == 3) and t or 1 end
local function bump(k) mine[k] = mine[k] + 1 end

local function add(path, t, rs)
  eq(lacdc.AddToCache(path, t, rs), true, "AddToCache " .. path)
  bump("add_" .. KIND[stored_type(t)])
end

local function check_own(i, round, present)
  local ct, rs = lacdc.IsCached(own(i))
  bump("lookups")
  if not present then
    eq(ct, 0, "removed entry " .. own(i))
    return bump("miss")
  end
  local want = stored_type(i % 4)
  eq(ct, want, "own entry " .. own(i))
  eq(rs, want == 3 and ruleset(i, round) or nil, "ruleset of " .. own(i))
  bump("hit_" .. KIND[want])
end

local script = arg and arg[0]
for round = 1, ROUNDS do
  for i = 1, PER_WORKER do add(own(i), i % 4, ruleset(i, round)) end
  for i = 1, PER_WORKER do check_own(i, round, true) end
  for i = 1, PER_WORKER, 2 do
    eq(lacdc.RemoveFromCache(own(i)), true, "remove own")
    bump("removehit")
    bump("removes")
  end
  for i = 1, PER_WORKER do check_own(i, round, i % 2 == 0) end
  for i = 1, PER_WORKER, 2 do add(own(i), i % 4, ruleset(i, round)) end

  -- The shared paths: outcomes depend on the other workers.
  for j = 1, SHARED do
    add(shared(j), (j + round) % 5, "ruleset-9-9-9-9")
    local ct, rs = lacdc.IsCached(shared(j))
    bump("lookups")
    if ct > 3 or (ct == 3 and rs ~= "ruleset-9-9-9-9") or (ct ~= 3 and rs ~= nil) then
      fail("shared lookup %s gave %s %s", shared(j), tostring(ct), tostring(rs))
    end
    if (j + round) % 3 == 0 then
      local r = lacdc.RemoveFromCache(shared(j))
      if type(r) ~= "boolean" then fail("RemoveFromCache gave %s", tostring(r)) end
      bump("removes")
    end
  end

  -- A miss that reads the file status (the script itself: an eligible file).
  if script then
    local info = {}
    eq(lacdc.IsCached(script, info), 0, "script is not cached")
    bump("lookups")
    bump("miss")
    bump("script_misses")
    if type(info.size) ~= "number" or info.size <= 0 then fail("size of %s: %s", script, tostring(info.size)) end
    eq(type(info.isexec), "boolean", "isexec")
  end
  eq(lacdc.CacheStats().removefail, 0, "removefail")
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
for _, k in ipairs {"add_approved", "add_unrecognized", "add_block"} do eq(s[k], W * mine[k], k) end
eq(sum(s, "hit_approved", "hit_unrecognized", "hit_block", "miss"), W * mine.lookups, "lookups")
for _, k in ipairs {"hit_approved", "hit_unrecognized", "hit_block", "miss", "removehit"} do
  if s[k] < W * mine[k] then fail("%s: %d, below the own entries' %d", k, s[k], W * mine[k]) end
end
for _, k in ipairs {"removefail", "stat_size_zero", "stat_not_file", "stat_too_big"} do eq(s[k], 0, k) end
-- Every Lua lookup reads the file status on a miss: only the script exists.
eq(s.stat_fail, s.miss - W * mine.script_misses, "stat_fail")
if s.clear >= W then fail("clear %d before every worker cleared", s.clear) end

-- Second phase: every worker clears once; then nothing is cached.
eq(select("#", lacdc.ClearCache()), 0, "ClearCache results")
s = await("all clears", function(s) return s.clear >= W end)
eq(s.clear, W, "clear")
for i = 1, PER_WORKER do eq(lacdc.IsCached(own(i)), 0, "after clear " .. own(i)) end
for j = 1, SHARED do eq(lacdc.IsCached(shared(j)), 0, "after clear " .. shared(j)) end
s = lacdc.CacheStats()
eq(s.add_approved + s.add_unrecognized + s.add_block, W * adds, "adds after clear")
eq(s.clear, W, "clear at the end")
