-- Object cache as the policy code sees it: results, rule set round trips and
-- argument rules (slots, eligibility and counters: object_cache_test.cpp).
local t = require "testlib"
local lacdc = require "lacdc"

t.run_in_dir(function(dir) return {
  {"results of each function; CacheStats has the fifteen counters", function()
    lacdc.ClearCache()
    t.eq(t.show(lacdc.AddToCache("/usr/bin/tool", 2)), "true", "AddToCache")
    t.eq(t.show(lacdc.IsCached("/usr/bin/tool")), "2", "IsCached: the cache type alone without rule set")
    t.eq(lacdc.RemoveFromCache("/usr/bin/tool"), true, "removed")
    t.eq(lacdc.RemoveFromCache("/usr/bin/tool"), false, "not present")
    t.eq(t.show(lacdc.ClearCache()), "", "ClearCache: no results")
    local s = lacdc.CacheStats()
    t.eq(t.count(s), 15, "keys")
    for _, k in ipairs {"clear", "add_approved", "add_unrecognized", "add_block", "removehit", "removemiss",
                        "removefail", "hit_approved", "hit_unrecognized", "hit_block", "miss", "stat_fail",
                        "stat_size_zero", "stat_not_file", "stat_too_big"} do
      t.eq(type(s[k]), "number", k)
    end
  end},

  {"rule set round trips: a second result only for a block with numbers", function()
    for i, c in ipairs {
      {"ruleset-1-2-3-4", "ruleset-1-2-3-4"},
      {"ruleset-1-2-3", nil},                      -- three fields: the verdict only
      {"ruleset-40000-2-3-4", "ruleset--25536-2-3-4"},
      {"ruleset-65536-65535-32768-1", "ruleset-0--1--32768-1"},
      {"ruleset-32767-32768-65536-70000", "ruleset-32767--32768-0-4464"},
      {"ruleset-0-0-0-0", nil},                    -- all zero: no second result
      {"ruleset-0-0-0-9", "ruleset-0-0-0-9"},
      {"ruleset-x-1-2-3", "ruleset-0-1-2-3"},      -- a field that is no number is 0
      {"ruleset-1-2-3-4-5", "ruleset-1-2-3-4"},    -- the last field is "4-5"
      {"rules-1-2-3-4", nil}, {42, nil}, {false, nil},
    } do
      local p = "/rs/" .. i
      if c[1] == false then lacdc.AddToCache(p, 3) else lacdc.AddToCache(p, 3, c[1]) end
      t.eq(t.show(lacdc.IsCached(p)), t.show(3, c[2]):gsub(", nil$", ""), tostring(c[1]))
    end
    for _, ty in ipairs {1, 2} do
      lacdc.AddToCache("/rs/type" .. ty, ty, "ruleset-1-2-3-4")
      t.eq(t.show(lacdc.IsCached("/rs/type" .. ty)), tostring(ty), "type " .. ty .. ": no text")
    end
  end},

  {"IsCached fills a table with size and isexec on a miss only", function()
    local path = t.writefile(dir .. "/file", string.rep("x", 100))
    assert(os.execute("chmod 0744 " .. path))
    lacdc.ClearCache()
    local info = {}
    t.eq(t.show(lacdc.IsCached(path, info)), "0", "a miss: one result")
    t.eq(t.show(info.size, info.isexec), "100, true", "size, isexec a boolean")
    info = {size = "unset", isexec = "unset"}
    t.eq(lacdc.IsCached(path .. ".missing", info), 0, "not eligible")
    t.eq(t.show(info.size, info.isexec), "0, false", "when not eligible")
    local before = lacdc.CacheStats()
    t.eq(lacdc.IsCached(path .. ".missing", "not a table"), 0, "not a table")
    t.eq(lacdc.CacheStats().stat_fail - before.stat_fail, 1, "the file status is read all the same")
    lacdc.AddToCache(path, 1)
    info = {}
    t.eq(lacdc.IsCached(path, info), 1, "hit")
    t.eq(next(info), nil, "table untouched on a hit")
  end},

  {"paths may be numbers; types that are no numbers are approved; argument errors", function()
    lacdc.AddToCache(12345, 1)
    t.eq(lacdc.IsCached("12345"), 1, "number path stored as its text")
    t.eq(lacdc.RemoveFromCache(12345), true, "number path removed")
    lacdc.AddToCache("/usr/bin/notype")
    lacdc.AddToCache("/usr/bin/tabletype", {})
    t.eq(lacdc.IsCached("/usr/bin/notype") .. lacdc.IsCached("/usr/bin/tabletype"), "11", "absent and table type")
    for _, name in ipairs {"AddToCache", "IsCached", "RemoveFromCache"} do
      for _, bad in ipairs {{}, true, false} do
        t.raises("bad argument #1 to '?' (string expected", lacdc[name], bad)
      end
      t.raises("bad argument #1", lacdc[name])
    end
    t.raises("bad argument #3", lacdc.AddToCache, "/x", 3, {})
  end},

  {"the multi-threaded test's path set has a slot per path", function()
    lacdc.ClearCache()  -- same scheme as mt_object_cache.lua: salt s3, 8 workers of 32, 16 shared
    local all = {}
    for w = 1, 8 do
      for i = 1, 32 do all[#all + 1] = string.format("/mt/object-cache/s3/w%d/f%d", w, i) end
    end
    for j = 1, 16 do all[#all + 1] = string.format("/mt/object-cache/s3/shared/%d", j) end
    for _, p in ipairs(all) do lacdc.AddToCache(p, 2) end
    for _, p in ipairs(all) do t.eq(lacdc.IsCached(p), 2, "still cached: " .. p) end
    lacdc.ClearCache()
  end},
} end)
