-- The process-cache functions of module ac and their argument rules.
local t = require "testlib"
local ac = require "ac"

local keys = {"procadd", "procchange", "procclear", "procremovehit", "procremovemiss", "prochit", "procmiss"}

-- Counter changes made by fn.
local function changes(fn)
  local before = ac.ProcCacheStats()
  fn()
  local after, d = ac.ProcCacheStats(), {}
  for _, k in ipairs(keys) do
    local n = after[k] - before[k]
    if n ~= 0 then d[k] = n end
  end
  return d
end

local function same(got, want, what)
  for _, k in ipairs(keys) do t.eq(got[k], want[k], what .. ": " .. k) end
end

t.run {
  {"ProcCacheStats: seven non-negative numbers", function()
    local s = ac.ProcCacheStats()
    t.eq(t.count(s), 7, "keys")
    for _, k in ipairs(keys) do
      t.eq(type(s[k]), "number", k)
      t.eq(s[k] >= 0 and s[k] < 2^32, true, k .. " in range")
    end
    t.eq(rawequal(s, ac.ProcCacheStats()), false, "a new table each call")
  end},

  {"store, look up, re-classify, evict, remove", function()
    ac.ClearProcessCache()
    same(changes(function()
      t.eq(select("#", ac.AddProcess(1234, 3, "python3")), 0, "AddProcess returns nothing")
      t.eq(ac.GetProcess(1234, "python3"), 3, "hit")
      t.eq(ac.GetProcess(2258, "python3"), 3, "same slot, same name")
    end), {procadd = 1, prochit = 2}, "store and hits")

    same(changes(function()
      local r = t.pack(ac.GetProcess(1234, "bash"))
      t.eq(r.n, 0, "a miss returns no value at all")
    end), {procmiss = 1}, "miss")

    same(changes(function()
      ac.AddProcess(1234, 7, "bash")
    end), {procadd = 1, procchange = 1}, "re-classification")
    t.eq(ac.GetProcess(1234, "bash"), 7, "new type")

    same(changes(function()
      ac.AddProcess(2258, 6, "perl")
      t.eq(select("#", ac.RemoveProcess(1234)), 0, "RemoveProcess returns nothing")
    end), {procadd = 1, procremovemiss = 1}, "evicted by another pid")

    same(changes(function()
      ac.RemoveProcess(2258)
      t.eq(select("#", ac.GetProcess(2258, "perl")), 0, "removed")
    end), {procremovehit = 1, procmiss = 1}, "removal")
  end},

  {"pid 0 and empty slots", function()
    ac.ClearProcessCache()
    ac.AddProcess(1024, 5, "nginx")
    same(changes(function()
      t.eq(select("#", ac.GetProcess(0, "nginx")), 0, "pid 0")
      t.eq(select("#", ac.GetProcess(nil, "nginx")), 0, "missing pid reads as 0")
      t.eq(select("#", ac.GetProcess("abc", "nginx")), 0, "non-numeric pid reads as 0")
    end), {}, "nothing counted for pid 0")
    same(changes(function()
      t.eq(select("#", ac.GetProcess(77, "")), 0, "empty slot, empty name: type 0 is no value")
    end), {prochit = 1}, "empty slot with empty name is a hit")
  end},

  {"ClearProcessCache", function()
    for pid = 1, 50 do ac.AddProcess(pid, 3, "python3") end
    same(changes(function()
      t.eq(select("#", ac.ClearProcessCache()), 0, "returns nothing")
    end), {procclear = 1}, "clear")
    for pid = 1, 50 do t.eq(select("#", ac.GetProcess(pid, "python3")), 0, "gone " .. pid) end
  end},

  {"names: the first 16 bytes, zero-padded", function()
    ac.ClearProcessCache()
    ac.AddProcess(40, 2, "0123456789abcdefGHIJ")
    t.eq(ac.GetProcess(40, "0123456789abcdef"), 2, "16 bytes stored")
    t.eq(ac.GetProcess(40, "0123456789abcdefXYZ"), 2, "compared within 16 bytes")
    t.eq(select("#", ac.GetProcess(40, "0123456789abcde")), 0, "15 bytes differ")
    ac.AddProcess(41, 4, "php")
    t.eq(ac.GetProcess(41, "php"), 4, "short name")
    t.eq(select("#", ac.GetProcess(41, "php8")), 0, "padding is zero")
    ac.AddProcess(42, 7, "sh\0garbage")
    t.eq(ac.GetProcess(42, "sh"), 7, "compared as NUL-terminated text")
    ac.AddProcess(43, 3, "")
    t.eq(ac.GetProcess(43, ""), 3, "empty name")
  end},

  {"AddProcess: type is a signed 32-bit value", function()
    ac.AddProcess(50, 2^32 + 3, "a")
    t.eq(ac.GetProcess(50, "a"), 3, "cut to 32 bits")
    ac.AddProcess(51, -1, "b")
    t.eq(ac.GetProcess(51, "b"), -1, "widened with its sign")
    ac.AddProcess(52, 2^31, "c")
    t.eq(ac.GetProcess(52, "c"), -2^31, "2^31 is negative as 32 bits")
    ac.AddProcess(53, 2^32, "d")
    t.eq(select("#", ac.GetProcess(53, "d")), 0, "2^32 is type 0")
  end},

  {"RemoveProcess: pid cut to a signed 32-bit value", function()
    ac.ClearProcessCache()
    ac.AddProcess(77, 3, "x")
    same(changes(function() ac.RemoveProcess(2^32 + 77) end), {procremovehit = 1}, "2^32 + 77 is 77")
    ac.AddProcess(-1, 3, "y")
    same(changes(function() ac.RemoveProcess(-1) end), {procremovehit = 1}, "-1")
    ac.AddProcess(2^32 - 1, 3, "z")
    t.eq(ac.GetProcess(2^32 - 1, "z"), 3, "stored with the full pid")
    same(changes(function() ac.RemoveProcess(2^32 - 1) end), {procremovemiss = 1},
      "2^32 - 1 becomes -1 and misses")
  end},

  {"argument errors", function()
    t.raises("bad argument #1", ac.AddProcess, nil, 1, "n")
    t.raises("number expected", ac.AddProcess, "x", 1, "n")
    t.raises("bad argument #2", ac.AddProcess, 1, nil, "n")
    t.raises("bad argument #3", ac.AddProcess, 1, 1)
    t.raises("string expected", ac.AddProcess, 1, 1, {})
    t.raises("bad argument #2", ac.GetProcess, 1)
    t.raises("string expected", ac.GetProcess, 1, {})
    t.raises("bad argument #1", ac.RemoveProcess)
    t.raises("number expected", ac.RemoveProcess, "x")
    t.eq(select("#", ac.ClearProcessCache("ignored")), 0, "extra arguments are ignored")
  end},
}
