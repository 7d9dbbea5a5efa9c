-- Drift tracker as the policy code sees it: what each Lua function of the
-- driver-channel module returns, DriftStats and the argument rules. The ring,
-- overflow, cooldown, dup sequences and counters are shown in drift_test.cpp.
local t = require "testlib"
local dc = require "lacdc"

local KEYS = {"track", "open", "overflow", "lostcheck", "losttrack", "found", "notfound",
              "dirt", "newfilter", "condfound", "condopen", "dup", "dupmiss", "dupname",
              "dupnamefail", "dupnamemiss", "dupnamenomem", "iterations",
              "cooldown", "current", "total", "max"}

local function case(name, fn)
  return {name, function()
    dc.DriftClear()
    local ok, err = pcall(fn)
    dc.DriftClear()
    if not ok then error(err, 0) end
  end}
end

t.run {
  case("DriftStats right after DriftClear: 22 keys, every value 0 except max", function()
    dc.DriftOpen(1, 1)
    dc.DriftClose(2, 2)
    dc.DriftClear()
    local s = dc.DriftStats()
    t.eq(t.count(s), 22, "keys")
    for _, k in ipairs(KEYS) do t.eq(s[k], k == "max" and 64 or 0, k) end
  end),

  case("results of each function", function()
    t.eq(select("#", dc.DriftOpen(100, 3)), 0, "DriftOpen")
    local r = t.pack(dc.DriftClose(100, 3))
    t.eq(r.n .. tostring(r[1]) .. tostring(r[2]), "2truefalse", "tracked close")
    for _ = 1, 256 do dc.DriftClose(100, 4) end
    r = t.pack(dc.DriftClose(100, 4))
    t.eq(tostring(r[1]) .. tostring(r[2]), "falsetrue", "the 257th untracked close asks for a filter")
    t.eq(select("#", dc.DriftCondOpen(100, 3)), 0, "DriftCondOpen")
    t.eq(select("#", dc.DriftDupTrackPossibleClose(100, 3, 5)), 0, "pre-check finding a pair: none")
    r = t.pack(dc.DriftDupTrackPossibleClose(100, 4, 6))
    t.eq(r.n, 1, "pre-check finding nothing: one result")
    t.eq(r[1], false, "false")
    r = t.pack(dc.DriftDup(100, 3, 5))
    t.eq(r.n, 2, "dup of a tracked descriptor: two results")
    t.eq(r[1], nil, "no name")
    t.eq(r[2], true, "tracked")
    r = t.pack(dc.DriftDup(100, 8, 9))
    t.eq(r.n, 1, "dup of nothing: one result")
    t.eq(r[1], nil, "nil")
    local s = dc.DriftStats()
    t.eq(s.current .. " " .. s.total .. " " .. s.max, "2 3 64", "current, total, max")
  end),

  case("DriftDup returns the captured name as a string without a NUL", function()
    local self = assert(io.open("/proc/self/stat")):read("*n")
    local path = os.tmpname()
    local file = assert(io.open(path, "w"))
    local fd
    for n = 0, 1023 do
      if dc.GetFileNameFromPidAndFd(self, n) == path then fd = n break end
    end
    assert(fd, "own descriptor of " .. path)
    dc.DriftOpen(self, fd)
    dc.DriftDupTrackPossibleClose(self, 900, fd)
    local r = t.pack(dc.DriftDup(self, 900, fd))
    t.eq(r.n, 1, "old descriptor untracked: the name alone")
    t.eq(r[1], path, "name")
    t.eq(#r[1], #path, "no NUL")
    file:close()
    os.remove(path)
  end),

  case("arguments must be integers; a full 32-bit pid and a negative fd", function()
    t.raises("bad argument #2", dc.DriftOpen, 1)
    t.raises("number expected", dc.DriftClose, "x", 1)
    t.raises("bad argument #3", dc.DriftDup, 1, 2)
    t.raises("bad argument #1", dc.DriftCondOpen)
    t.raises("bad argument #2", dc.DriftDupTrackPossibleClose, 1, {}, 3)
    -- the lock is free again after the errors
    dc.DriftOpen(4000000000, -1)
    t.eq((dc.DriftClose(4000000000, -1)), true, "full 32-bit pid and negative fd")
    local want = {track = 1, open = 1, found = 1, total = 1, max = 64}
    local s = dc.DriftStats()
    for _, k in ipairs(KEYS) do t.eq(s[k], want[k] or 0, k) end
  end),
}
