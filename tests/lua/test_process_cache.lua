-- The process-cache functions of module ac: what they return and their
-- argument rules. Slot rules and counters are shown in process_cache_test.cpp.
local t = require "testlib"
local ac = require "ac"

local function none(...) return select("#", ...) == 0 end

t.run {
  {"results: GetProcess gives no value at all on a miss or type 0", function()
    ac.ClearProcessCache()
    t.eq(none(ac.AddProcess(1234, 3, "python3")), true, "AddProcess returns nothing")
    t.eq(ac.GetProcess(1234, "python3"), 3, "hit")
    t.eq(none(ac.GetProcess(1234, "bash")), true, "miss")
    t.eq(none(ac.GetProcess(77, "")), true, "empty slot, empty name: type 0 is no value")
    local before = ac.ProcCacheStats().prochit
    t.eq(none(ac.GetProcess(nil, "python3")), true, "missing pid reads as 0")
    t.eq(none(ac.GetProcess("abc", "python3")), true, "non-numeric pid reads as 0")
    t.eq(ac.ProcCacheStats().prochit, before, "pid 0 counts nothing")
    t.eq(none(ac.RemoveProcess(1234)), true, "RemoveProcess returns nothing")
    t.eq(none(ac.ClearProcessCache("ignored")), true, "ClearProcessCache returns nothing")
    local s = ac.ProcCacheStats()
    t.eq(t.count(s), 7, "seven counters")
    for _, k in ipairs {"procadd", "procchange", "procclear", "procremovehit", "procremovemiss",
                        "prochit", "procmiss"} do
      t.eq(type(s[k]) == "number" and s[k] >= 0 and s[k] < 2^32, true, k)
    end
    t.eq(rawequal(s, ac.ProcCacheStats()), false, "a new table each call")
  end},

  {"names: the first 16 bytes, zero-padded", function()
    ac.AddProcess(40, 2, "0123456789abcdefGHIJ")
    t.eq(ac.GetProcess(40, "0123456789abcdef"), 2, "16 bytes stored")
    ac.AddProcess(41, 4, "php")
    t.eq(none(ac.GetProcess(41, "php8")), true, "padding is zero")
    ac.AddProcess(42, 7, "sh\0garbage")
    t.eq(ac.GetProcess(42, "sh"), 7, "compared as NUL-terminated text")
  end},

  {"AddProcess: type is a signed 32-bit value", function()
    ac.AddProcess(50, 2^32 + 3, "a")
    t.eq(ac.GetProcess(50, "a"), 3, "cut to 32 bits")
    ac.AddProcess(51, -1, "b")
    t.eq(ac.GetProcess(51, "b"), -1, "widened with its sign")
    ac.AddProcess(52, 2^31, "c")
    t.eq(ac.GetProcess(52, "c"), -2^31, "2^31 is negative as 32 bits")
    ac.AddProcess(53, 2^32, "d")
    t.eq(none(ac.GetProcess(53, "d")), true, "2^32 is type 0")
  end},

  {"RemoveProcess: pid cut to a signed 32-bit value", function()
    local function remove(pid)  -- removal hits and misses counted
      local b = ac.ProcCacheStats()
      ac.RemoveProcess(pid)
      local a = ac.ProcCacheStats()
      return (a.procremovehit - b.procremovehit) .. (a.procremovemiss - b.procremovemiss)
    end
    ac.AddProcess(77, 3, "x")
    t.eq(remove(2^32 + 77), "10", "2^32 + 77 is 77")
    ac.AddProcess(-1, 3, "y")
    t.eq(remove(-1), "10", "-1")
    ac.AddProcess(2^32 - 1, 3, "z")
    t.eq(ac.GetProcess(2^32 - 1, "z"), 3, "stored with the full pid")
    t.eq(remove(2^32 - 1), "01", "2^32 - 1 becomes -1 and misses")
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
  end},
}
