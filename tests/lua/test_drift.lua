-- Drift tracker as the policy code sees it: results, DriftStats and argument
-- rules (the ring, overflow, cooldown, dups and counters: drift_test.cpp).
local t = require "testlib"
local dc = require "lacdc"

local KEYS = {"track", "open", "overflow", "lostcheck", "losttrack", "found", "notfound",
              "dirt", "newfilter", "condfound", "condopen", "dup", "dupmiss", "dupname",
              "dupnamefail", "dupnamemiss", "dupnamenomem", "iterations",
              "cooldown", "current", "total", "max"}

-- Every counter of DriftStats against want (absent: 0).
local function stats(want)
  local s = dc.DriftStats()
  t.eq(t.count(s), 22, "keys")
  for _, k in ipairs(KEYS) do t.eq(s[k], want[k] or 0, k) end
end

local function case(name, fn)
  return {name, function()
    dc.DriftClear()
    local ok, err = pcall(fn)
    dc.DriftClear()
    if not ok then error(err, 0) end
  end}
end

t.run_in_dir(function(dir) return {
  case("DriftStats right after DriftClear: every value 0 except max", function()
    dc.DriftOpen(1, 1)
    dc.DriftClose(2, 2)
    dc.DriftClear()
    stats{max = 64}
  end),

  case("results of each function", function()
    t.eq(t.show(dc.DriftOpen(100, 3)), "", "DriftOpen")
    t.eq(t.show(dc.DriftClose(100, 3)), "true, false", "tracked close")
    for _ = 1, 256 do dc.DriftClose(100, 4) end
    t.eq(t.show(dc.DriftClose(100, 4)), "false, true", "the 257th untracked close asks for a filter")
    t.eq(t.show(dc.DriftCondOpen(100, 3)), "", "DriftCondOpen")
    t.eq(t.show(dc.DriftDupTrackPossibleClose(100, 3, 5)), "", "pre-check finding a pair")
    t.eq(t.show(dc.DriftDupTrackPossibleClose(100, 4, 6)), "false", "pre-check finding nothing")
    t.eq(t.show(dc.DriftDup(100, 3, 5)), "nil, true", "dup of a tracked descriptor: no name, tracked")
    t.eq(t.show(dc.DriftDup(100, 8, 9)), "nil", "dup of nothing")
    local s = dc.DriftStats()
    t.eq(s.current .. " " .. s.total .. " " .. s.max, "2 3 64", "current, total, max")
  end),

  case("DriftDup returns the captured name as a string without a NUL", function()
    local self = assert(io.open("/proc/self/stat")):read("*n")
    local path = dir .. "/file"
    local file = assert(io.open(path, "w"))
    local fd
    for n = 0, 1023 do
      if dc.GetFileNameFromPidAndFd(self, n) == path then fd = n break end
    end
    dc.DriftOpen(self, assert(fd, "own descriptor"))
    dc.DriftDupTrackPossibleClose(self, 900, fd)
    t.eq(t.show(dc.DriftDup(self, 900, fd)), t.show(path), "old descriptor untracked: the name alone")
    file:close()
  end),

  case("arguments must be integers; a full 32-bit pid and a negative fd", function()
    t.raises("bad argument #2", dc.DriftOpen, 1)
    t.raises("number expected", dc.DriftClose, "x", 1)
    t.raises("bad argument #3", dc.DriftDup, 1, 2)
    t.raises("bad argument #1", dc.DriftCondOpen)
    t.raises("bad argument #2", dc.DriftDupTrackPossibleClose, 1, {}, 3)
    dc.DriftOpen(4000000000, -1)  -- the lock is free again after the errors
    t.eq((dc.DriftClose(4000000000, -1)), true, "full 32-bit pid and negative fd")
    stats{track = 1, open = 1, found = 1, total = 1, max = 64}
  end),
} end)
