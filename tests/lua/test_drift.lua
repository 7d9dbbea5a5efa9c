-- Drift tracker and quick filters as the policy code sees them: results, DriftStats
-- and argument rules (the ring, overflow, cooldown, dups and counters: drift_test.cpp).
local t, dc = require "testlib", require "lacdc"
t.run_in_dir(function(dir) return {
  {"results of each function and DriftStats", function()
    dc.DriftClear()
    t.eq(t.show(dc.DriftOpen(100, 3)) .. "|" .. t.show(dc.DriftClose(100, 3)), "|true, false", "open, tracked close")
    for _ = 1, 256 do dc.DriftClose(100, 4) end
    t.eq(t.show(dc.DriftClose(100, 4)), "false, true", "the 257th untracked close asks for a filter")
    t.eq(t.show(dc.DriftCondOpen(100, 3)) .. "|" .. t.show(dc.DriftDupTrackPossibleClose(100, 3, 5)) .. "|" ..
         t.show(dc.DriftDupTrackPossibleClose(100, 4, 6)), "||false", "cond open; pre-checks finding a pair, nothing")
    t.eq(t.show(dc.DriftDup(100, 3, 5)) .. "|" .. t.show(dc.DriftDup(100, 8, 9)), "nil, true|nil", "dups")
    local s = dc.DriftStats()
    t.eq(t.show(t.count(s), s.current, s.total, s.max, s.dirt, s.track), "22, 2, 3, 64, 257, 3", "stats")
    local self, path, fd = assert(io.open("/proc/self/stat")):read("*n"), dir .. "/file"
    local file = assert(io.open(path, "w"))
    for n = 0, 1023 do if dc.GetFileNameFromPidAndFd(self, n) == path then fd = n break end end
    dc.DriftOpen(self, assert(fd, "own descriptor"))
    dc.DriftDupTrackPossibleClose(self, 900, fd)
    t.eq(t.show(dc.DriftDup(self, 900, fd)), t.show(path), "old descriptor untracked: the name alone, without its NUL")
    file:close()
    t.eq(select("#", dc.DriftClear()), 0, "no results")
    t.eq(t.show(dc.DriftStats().current, dc.DriftStats().total, dc.DriftStats().track, dc.DriftStats().max), "0, 0, 0, 64", "cleared")
  end},
  {"arguments must be integers; a full 32-bit pid and a negative fd", function()
    t.raise_all {{"bad argument #2", dc.DriftOpen, 1}, {"number expected", dc.DriftClose, "x", 1},
                 {"bad argument #3", dc.DriftDup, 1, 2}, {"bad argument #1", dc.DriftCondOpen},
                 {"bad argument #2", dc.DriftDupTrackPossibleClose, 1, {}, 3}}
    dc.DriftOpen(4000000000, -1)  -- the lock is free again after the errors
    t.eq((dc.DriftClose(4000000000, -1)), true, "full 32-bit pid and negative fd")
  end},
  {"DriftFreshFilter builds the record or passes a failed command through; quickIMFilter", function()
    local rec = assert(dc.DriftFreshFilter(("\0"):rep(8) .. "\32\0\0\0\32\0\0\0\9\0\0\0"))
    t.eq(#rec .. " " .. rec:sub(1, 16) .. rec:byte(17), '84 "setfilefilter"\0' .. "9", "size, command name, id")
    local msg = "command(): Invalid argument (22)"
    t.eq(t.show(dc.DriftFreshFilter(nil, 22, msg)), t.show(nil, 22, msg), "all arguments back")
    t.eq(select(2, dc.DriftFreshFilter()), "missing getFileFilter", "no reply")
    t.eq(t.show(dc.DriftFreshFilter("short")), t.show(nil, "missing getfilefilter args (5)"), "short reply")
    t.eq(t.show(dc.quickIMFilter("/srv/www/x.txt", "txt", "/opt/app;/srv"), dc.quickIMFilter("/home/x.txt", "txt", "/opt/app;/srv"),
                dc.quickIMFilter("/home/x.Sh", "Sh", "")), "true, false, true", "prefix, elsewhere, executable extension")
    t.raise_all {{"extension too long", dc.quickIMFilter, "/x", "manifest", ""}, {"string expected", dc.quickIMFilter, "/x", ""}}
  end},
} end)
