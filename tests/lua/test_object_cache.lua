-- Object cache as the policy code sees it: results, rule set round trips and
-- argument rules (slots, eligibility and counters: object_cache_test.cpp).
local t, lacdc = require "testlib", require "lacdc"
t.run_in_dir(function(dir) return {
  {"results of each function; rule set round trips: a second result only for a block with numbers", function()
    lacdc.ClearCache()
    t.eq(t.show(lacdc.AddToCache("/usr/bin/tool", 2)) .. " " .. t.show(lacdc.IsCached("/usr/bin/tool")), "true 2", "add, hit")
    t.eq(t.show(lacdc.RemoveFromCache("/usr/bin/tool"), lacdc.RemoveFromCache("/usr/bin/tool"), select("#", lacdc.ClearCache()),
                t.count(lacdc.CacheStats())), "true, false, 0, 15", "removed, not present; ClearCache; fifteen counters")
    for i, c in ipairs {
      {"ruleset-1-2-3-4", "ruleset-1-2-3-4"}, {"ruleset-1-2-3", nil},  -- three fields: the verdict only
      {"ruleset-40000-2-3-4", "ruleset--25536-2-3-4"}, {"ruleset-65536-65535-32768-1", "ruleset-0--1--32768-1"},
      {"ruleset-32767-32768-65536-70000", "ruleset-32767--32768-0-4464"},
      {"ruleset-0-0-0-0", nil}, {"ruleset-0-0-0-9", "ruleset-0-0-0-9"},  -- all zero: no second result
      {"ruleset-x-1-2-3", "ruleset-0-1-2-3"},      -- a field that is no number is 0
      {"ruleset-1-2-3-4-5", "ruleset-1-2-3-4"},    -- the last field is "4-5"
      {"rules-1-2-3-4", nil}, {42, nil}, {false, nil},
    } do
      local p = "/rs/" .. i
      lacdc.AddToCache(p, 3, c[1] or nil)
      t.eq(t.show(lacdc.IsCached(p)), t.show(3, c[2]):gsub(", nil$", ""), tostring(c[1]))
    end
    lacdc.AddToCache("/rs/type1", 1, "ruleset-1-2-3-4")
    lacdc.AddToCache("/rs/type2", 2, "ruleset-1-2-3-4")
    t.eq(t.show(lacdc.IsCached("/rs/type1")) .. t.show(lacdc.IsCached("/rs/type2")), "12", "other types: no text")
  end},
  {"IsCached fills a table with size and isexec on a miss only", function()
    local path = t.writefile(dir .. "/file", ("x"):rep(100))
    assert(os.execute("chmod 0744 " .. path))
    lacdc.ClearCache()
    local info, missing = {}, {size = "unset", isexec = "unset"}
    t.eq(t.show(lacdc.IsCached(path, info), info.size, info.isexec), "0, 100, true", "a miss: one result; size, isexec")
    t.eq(t.show(lacdc.IsCached(path .. ".missing", missing), missing.size, missing.isexec), "0, 0, false", "not eligible")
    local before = lacdc.CacheStats().stat_fail
    t.eq(lacdc.IsCached(path .. ".missing", "not a table"), 0, "not a table")
    t.eq(lacdc.CacheStats().stat_fail - before, 1, "the file status is read all the same")
    lacdc.AddToCache(path, 1)
    info = {}
    t.eq(lacdc.IsCached(path, info) .. " " .. t.count(info), "1 0", "hit; table untouched")
  end},
  {"paths may be numbers; types that are no numbers are approved; argument errors", function()
    lacdc.AddToCache(12345, 1); lacdc.AddToCache("/usr/bin/notype"); lacdc.AddToCache("/usr/bin/tabletype", {})
    t.eq(lacdc.IsCached("12345") .. tostring(lacdc.RemoveFromCache(12345)) .. lacdc.IsCached("/usr/bin/notype") ..
         lacdc.IsCached("/usr/bin/tabletype"), "1true11", "a number path is its text; an absent or table type approves")
    for _, name in ipairs {"AddToCache", "IsCached", "RemoveFromCache"} do
      t.raise_all {{"bad argument #1 to '?' (string expected", lacdc[name], {}}, {"bad argument #1", lacdc[name]}}
    end
    t.raises("bad argument #3", lacdc.AddToCache, "/x", 3, {})
  end},
} end)
