-- The process-cache functions of module ac: results and argument rules (slot
-- rules and counters: process_cache_test.cpp).
local t = require "testlib"
local ac = require "ac"

-- Removal hits and misses counted by RemoveProcess(pid), as "hits misses".
local function remove(pid)
  local b = ac.ProcCacheStats()
  ac.RemoveProcess(pid)
  local a = ac.ProcCacheStats()
  return (a.procremovehit - b.procremovehit) .. " " .. (a.procremovemiss - b.procremovemiss)
end

t.run {
  {"results: GetProcess gives no value at all on a miss or type 0", function()
    ac.ClearProcessCache()
    t.eq(t.show(ac.AddProcess(1234, 3, "python3")), "", "AddProcess returns nothing")
    t.eq(t.show(ac.GetProcess(1234, "python3")), "3", "hit")
    t.eq(t.show(ac.GetProcess(1234, "bash")), "", "miss")
    t.eq(t.show(ac.GetProcess(77, "")), "", "empty slot, empty name: type 0 is no value")
    local before = ac.ProcCacheStats().prochit
    t.eq(t.show(ac.GetProcess(nil, "python3")), "", "missing pid reads as 0")
    t.eq(t.show(ac.GetProcess("abc", "python3")), "", "non-numeric pid reads as 0")
    t.eq(ac.ProcCacheStats().prochit, before, "pid 0 counts nothing")
    t.eq(t.show(ac.RemoveProcess(1234)) .. t.show(ac.ClearProcessCache("ignored")), "", "Remove and Clear: nothing")
    local s = ac.ProcCacheStats()
    t.eq(t.count(s), 7, "seven counters")
    for _, k in ipairs {"procadd", "procchange", "procclear", "procremovehit", "procremovemiss", "prochit",
                        "procmiss"} do
      t.eq(type(s[k]) == "number" and s[k] >= 0 and s[k] < 2^32, true, k)
    end
    t.eq(rawequal(s, ac.ProcCacheStats()), false, "a new table each call")
  end},

  {"names: the first 16 bytes, zero-padded, compared as NUL-terminated text", function()
    ac.AddProcess(40, 2, "0123456789abcdefGHIJ")
    ac.AddProcess(41, 4, "php")
    ac.AddProcess(42, 7, "sh\0garbage")
    t.eq(t.show(ac.GetProcess(40, "0123456789abcdef"), ac.GetProcess(42, "sh")), "2, 7", "16 bytes; up to the NUL")
    t.eq(t.show(ac.GetProcess(41, "php8")), "", "padding is zero")
  end},

  {"the type is a signed 32-bit value; RemoveProcess cuts the pid to one", function()
    for pid, c in pairs {[50] = {2^32 + 3, "3"}, [51] = {-1, "-1"}, [52] = {2^31, "-2147483648"},
                         [53] = {2^32, ""}} do
      ac.AddProcess(pid, c[1], "a")
      t.eq(t.show(ac.GetProcess(pid, "a")), c[2], "type " .. c[1])
    end
    ac.AddProcess(77, 3, "x")
    t.eq(remove(2^32 + 77), "1 0", "2^32 + 77 is 77")
    ac.AddProcess(-1, 3, "y")
    t.eq(remove(-1), "1 0", "-1")
    ac.AddProcess(2^32 - 1, 3, "z")
    t.eq(ac.GetProcess(2^32 - 1, "z"), 3, "stored with the full pid")
    t.eq(remove(2^32 - 1), "0 1", "2^32 - 1 becomes -1 and misses")
  end},

  {"argument errors", function()
    local N, S = "number expected", "string expected"
    for _, c in ipairs {  -- function, argument number, message, arguments
      {ac.AddProcess, 1, N, nil, 1, "n"}, {ac.AddProcess, 1, N, "x", 1, "n"}, {ac.AddProcess, 2, N, 1, nil, "n"},
      {ac.AddProcess, 3, S, 1, 1}, {ac.AddProcess, 3, S, 1, 1, {}}, {ac.GetProcess, 2, S, 1},
      {ac.GetProcess, 2, S, 1, {}}, {ac.RemoveProcess, 1, N}, {ac.RemoveProcess, 1, N, "x"},
    } do
      t.raises(("bad argument #%d to '?' (%s"):format(c[2], c[3]), c[1], c[4], c[5], c[6])
    end
  end},
}
