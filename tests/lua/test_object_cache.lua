-- Object cache through the Lua functions of the driver-channel module:
-- AddToCache, IsCached, RemoveFromCache, ClearCache, CacheStats.
local t = require "testlib"
local lacdc = require "lacdc"

local KEYS = {"clear", "add_approved", "add_unrecognized", "add_block", "removehit", "removemiss",
              "removefail", "hit_approved", "hit_unrecognized", "hit_block", "miss", "stat_fail",
              "stat_size_zero", "stat_not_file", "stat_too_big"}

-- Counters that changed since `before`, as "key=+n" sorted by key order.
local function changes(before)
  local now, out = lacdc.CacheStats(), {}
  for _, k in ipairs(KEYS) do
    if now[k] ~= before[k] then out[#out + 1] = k .. "=+" .. (now[k] - before[k]) end
  end
  return table.concat(out, " ")
end

local function results(...) return select("#", ...), ... end

-- A scratch directory, removed at the end.
local dir = os.tmpname()
os.remove(dir)
assert(os.execute("mkdir -m 0700 " .. dir))

-- A file of `size` bytes (sparse: only the last byte is written) with `mode`.
local function make_file(name, size, mode)
  local path = dir .. "/" .. name
  local f = assert(io.open(path, "wb"))
  if size > 0 then
    assert(f:seek("set", size - 1))
    assert(f:write("x"))
  end
  f:close()
  assert(os.execute(string.format("chmod %s %s", mode, path)))
  return path
end

-- Two paths of the form prefix..n that share a slot, found through the cache
-- itself: of many paths stored in a row, one that no longer hits was evicted
-- by a later one; storing the later ones again one by one finds which.
local function find_collision(prefix)
  lacdc.ClearCache()
  local paths = {}
  for n = 1, 3000 do
    paths[n] = prefix .. n
    lacdc.AddToCache(paths[n], 1)
  end
  for i = 1, #paths do
    if lacdc.IsCached(paths[i]) == 0 then
      lacdc.ClearCache()
      lacdc.AddToCache(paths[i], 1)
      for k = i + 1, #paths do
        lacdc.AddToCache(paths[k], 1)
        if lacdc.IsCached(paths[i]) == 0 then
          lacdc.ClearCache()
          return paths[i], paths[k]
        end
      end
      error("evicted path without an evicter: " .. paths[i])
    end
  end
  error("no collision among " .. #paths .. " paths")
end

local ok, err = pcall(t.run, {
  {"stats table has the fifteen keys, each a number; removefail is 0", function()
    local s = lacdc.CacheStats()
    t.eq(t.count(s), 15, "keys")
    for _, k in ipairs(KEYS) do t.eq(type(s[k]), "number", k) end
    t.eq(s.removefail, 0, "removefail")
  end},

  {"store and look up; results and counters", function()
    lacdc.ClearCache()
    local before = lacdc.CacheStats()
    t.eq(results(lacdc.AddToCache("/usr/bin/tool", 2)), 1, "AddToCache results")
    t.eq(lacdc.AddToCache("/usr/bin/tool", 2), true, "AddToCache")
    t.eq(changes(before), "add_unrecognized=+2", "counters after two stores")
    before = lacdc.CacheStats()
    local n, ct = results(lacdc.IsCached("/usr/bin/tool"))
    t.eq(n, 1, "one result without ruleset text")
    t.eq(ct, 2, "cache type")
    t.eq(changes(before), "hit_unrecognized=+1", "counters after a hit")
    -- A different spelling of the same file is another object.
    t.eq(lacdc.IsCached("/usr//bin/tool"), 0, "doubled slash")
    t.eq(lacdc.IsCached("/usr/bin/tool/"), 0, "trailing slash")
  end},

  {"type mapping: 0, 1, 5, 7, -1 and non-numbers are approved", function()
    for _, ty in ipairs {0, 1, 5, 7, -1, -3, 4, 2^31 - 1} do
      local p = "/usr/bin/type" .. ty
      local before = lacdc.CacheStats()
      lacdc.AddToCache(p, ty)
      t.eq(changes(before), "add_approved=+1", "store type " .. ty)
      t.eq(lacdc.IsCached(p), 1, "type " .. ty)
    end
    lacdc.AddToCache("/usr/bin/notype")
    t.eq(lacdc.IsCached("/usr/bin/notype"), 1, "absent type")
    lacdc.AddToCache("/usr/bin/tabletype", {})
    t.eq(lacdc.IsCached("/usr/bin/tabletype"), 1, "table type")
    lacdc.AddToCache("/usr/bin/t2", 2)
    t.eq(lacdc.IsCached("/usr/bin/t2"), 2, "type 2")
    lacdc.AddToCache("/usr/bin/t3", 3)
    t.eq(lacdc.IsCached("/usr/bin/t3"), 3, "type 3")
  end},

  {"storing 3 then 1 reports 1 and counts both", function()
    local before = lacdc.CacheStats()
    lacdc.AddToCache("/usr/bin/twice", 3, "ruleset-1-2-3-4")
    lacdc.AddToCache("/usr/bin/twice", 1)
    t.eq(changes(before), "add_approved=+1 add_block=+1", "counters")
    t.eq(results(lacdc.IsCached("/usr/bin/twice")), 1, "one result")
    t.eq(lacdc.IsCached("/usr/bin/twice"), 1, "type")
  end},

  {"ruleset round trips", function()
    local function back(p, text)
      lacdc.AddToCache(p, 3, text)
      return lacdc.IsCached(p)
    end
    local ct, rs = back("/rs/four", "ruleset-1-2-3-4")
    t.eq(ct, 3, "type")
    t.eq(rs, "ruleset-1-2-3-4", "four fields")
    t.eq(results(back("/rs/three", "ruleset-1-2-3")), 1, "three fields: no second result")
    t.eq(back("/rs/three", "ruleset-1-2-3"), 3, "three fields: still blocked")
    t.eq(select(2, back("/rs/big", "ruleset-40000-2-3-4")), "ruleset--25536-2-3-4", "40000 wraps")
    t.eq(select(2, back("/rs/wrap", "ruleset-65536-65535-32768-1")), "ruleset-0--1--32768-1", "16 bits")
    t.eq(results(back("/rs/zero", "ruleset-0-0-0-0")), 1, "all zero: no second result")
    t.eq(select(2, back("/rs/one", "ruleset-0-0-0-1")), "ruleset-0-0-0-1", "one non-zero")
    t.eq(results(back("/rs/none", nil)), 1, "no text")
    t.eq(select(2, back("/rs/numtext", 42)), nil, "a number is text that does not scan")
    -- Text with another type is ignored.
    lacdc.AddToCache("/rs/approved", 1, "ruleset-1-2-3-4")
    t.eq(results(lacdc.IsCached("/rs/approved")), 1, "approved: no text")
    lacdc.AddToCache("/rs/unrec", 2, "ruleset-1-2-3-4")
    t.eq(results(lacdc.IsCached("/rs/unrec")), 1, "unrecognized: no text")
  end},

  {"colliding paths evict each other", function()
    local a, b = find_collision("/opt/collide/")
    lacdc.AddToCache(a, 1)
    t.eq(lacdc.IsCached(a), 1, "first stored")
    lacdc.AddToCache(b, 2)
    t.eq(lacdc.IsCached(b), 2, "second stored")
    local before = lacdc.CacheStats()
    t.eq(lacdc.IsCached(a), 0, "first evicted")
    -- Lua lookups always ask for the file status on a miss: no such file.
    t.eq(changes(before), "miss=+1 stat_fail=+1", "a miss")
    before = lacdc.CacheStats()
    t.eq(lacdc.RemoveFromCache(a), false, "removing the evicted one")
    t.eq(changes(before), "removemiss=+1", "removemiss")
    t.eq(lacdc.IsCached(b), 2, "second untouched")
    before = lacdc.CacheStats()
    t.eq(lacdc.RemoveFromCache(b), true, "removing the occupant")
    t.eq(changes(before), "removehit=+1", "removehit")
    t.eq(lacdc.RemoveFromCache(b), false, "removing twice")
    t.eq(lacdc.IsCached(b), 0, "gone")
  end},

  {"a block stored without ruleset text keeps the slot's previous numbers", function()
    local a, b = find_collision("/opt/keep/")
    lacdc.AddToCache(a, 3, "ruleset-5-6-7-8")
    lacdc.AddToCache(a, 3)
    t.eq(select(2, lacdc.IsCached(a)), "ruleset-5-6-7-8", "same object, no text")
    lacdc.AddToCache(a, 3, "ruleset-9-9-9")
    t.eq(select(2, lacdc.IsCached(a)), "ruleset-5-6-7-8", "same object, text that does not scan")
    lacdc.AddToCache(b, 3)
    t.eq(lacdc.IsCached(a), 0, "evicted")
    local ct, rs = lacdc.IsCached(b)
    t.eq(ct, 3, "other object blocked")
    t.eq(rs, "ruleset-5-6-7-8", "other object inherits the numbers")
    lacdc.RemoveFromCache(b)
    lacdc.AddToCache(b, 3)
    t.eq(results(lacdc.IsCached(b)), 1, "after removal the numbers are zero")
    lacdc.AddToCache(b, 3, "ruleset-1-1-1-1")
    lacdc.ClearCache()
    lacdc.AddToCache(b, 3)
    t.eq(results(lacdc.IsCached(b)), 1, "after clearing the numbers are zero")
  end},

  {"miss of an eligible file fills size and isexec; modes 0644, 0744, 0701", function()
    for _, c in ipairs {{"0644", false}, {"0744", true}, {"0701", true}, {"0710", true}, {"0600", false}} do
      local p = make_file("mode" .. c[1], 100, c[1])
      local info = {}
      local before = lacdc.CacheStats()
      t.eq(results(lacdc.IsCached(p, info)), 1, "one result")
      t.eq(lacdc.IsCached(p, info), 0, "miss " .. c[1])
      t.eq(info.size, 100, "size " .. c[1])
      t.eq(info.isexec, c[2], "isexec " .. c[1])
      t.eq(changes(before), "miss=+2", "counters " .. c[1])
    end
  end},

  {"eligibility boundaries", function()
    local sub = dir .. "/sub"
    assert(os.execute("mkdir " .. sub))
    make_file("sub/inside", 10, "0644")
    local cases = {
      {make_file("one", 1, "0755"), 1, true, ""},
      {make_file("below", 104857599, "0644"), 104857599, false, ""},
      {make_file("at", 104857600, "0755"), 0, false, " stat_too_big=+1"},
      {make_file("above", 200000000, "0755"), 0, false, " stat_too_big=+1"},
      {make_file("empty", 0, "0755"), 0, false, " stat_size_zero=+1"},
      {sub, 0, false, " stat_not_file=+1"},
      {dir .. "/missing", 0, false, " stat_fail=+1"},
    }
    for _, c in ipairs(cases) do
      local info = {size = "unset", isexec = "unset"}
      local before = lacdc.CacheStats()
      t.eq(lacdc.IsCached(c[1], info), 0, "cache type of " .. c[1])
      t.eq(info.size, c[2], "size of " .. c[1])
      t.eq(info.isexec, c[3], "isexec of " .. c[1])
      t.eq(changes(before), "miss=+1" .. c[4], "counters of " .. c[1])
    end
    -- Without a table the file status is read all the same.
    local before = lacdc.CacheStats()
    t.eq(lacdc.IsCached(dir .. "/missing"), 0, "no table")
    t.eq(lacdc.IsCached(dir .. "/missing", "not a table"), 0, "not a table")
    t.eq(results(lacdc.IsCached(dir .. "/at")), 1, "one result for a file that is not eligible")
    t.eq(changes(before), "miss=+3 stat_fail=+2 stat_too_big=+1", "counters without a table")
    -- A hit leaves the table alone and reads no status.
    lacdc.AddToCache(dir .. "/missing", 1)
    local info = {}
    before = lacdc.CacheStats()
    t.eq(lacdc.IsCached(dir .. "/missing", info), 1, "hit")
    t.eq(next(info), nil, "table untouched on a hit")
    t.eq(changes(before), "hit_approved=+1", "counters of a hit")
  end},

  {"ClearCache empties the table and counts only clear", function()
    local paths = {}
    for i = 1, 50 do
      paths[i] = "/usr/lib/clear" .. i
      lacdc.AddToCache(paths[i], i % 4, "ruleset-1-2-3-4")
    end
    local before = lacdc.CacheStats()
    t.eq(results(lacdc.ClearCache()), 0, "no results")
    t.eq(changes(before), "clear=+1", "only clear counted")
    before = lacdc.CacheStats()
    for _, p in ipairs(paths) do t.eq(results(lacdc.IsCached(p)), 1, "one result for " .. p) end
    for _, p in ipairs(paths) do t.eq(lacdc.IsCached(p), 0, "miss for " .. p) end
    t.eq(changes(before), "miss=+100 stat_fail=+100", "lookups after clear miss")
    t.eq(lacdc.CacheStats().removefail, 0, "removefail")
  end},

  {"paths may be numbers; other paths raise argument errors", function()
    lacdc.AddToCache(12345, 1)
    t.eq(lacdc.IsCached("12345"), 1, "number path stored as its text")
    t.eq(lacdc.RemoveFromCache(12345), true, "number path removed")
    for _, name in ipairs {"AddToCache", "IsCached", "RemoveFromCache"} do
      for _, bad in ipairs {{}, true, false} do
        t.raises("bad argument #1", lacdc[name], bad)
        t.raises("string expected", lacdc[name], bad)
      end
      t.raises("bad argument #1", lacdc[name])
    end
    t.raises("bad argument #3", lacdc.AddToCache, "/x", 3, {})
  end},

  {"the multi-threaded test's path set has a slot per path", function()
    -- Same scheme as mt_object_cache.lua: salt s3, 8 workers of 32, 16 shared.
    lacdc.ClearCache()
    local all = {}
    for w = 1, 8 do
      for i = 1, 32 do all[#all + 1] = string.format("/mt/object-cache/s3/w%d/f%d", w, i) end
    end
    for j = 1, 16 do all[#all + 1] = string.format("/mt/object-cache/s3/shared/%d", j) end
    for _, p in ipairs(all) do lacdc.AddToCache(p, 2) end
    for _, p in ipairs(all) do t.eq(lacdc.IsCached(p), 2, "still cached: " .. p) end
    lacdc.ClearCache()
  end},
})
os.execute("rm -rf " .. dir)
if not ok then error(err, 0) end
