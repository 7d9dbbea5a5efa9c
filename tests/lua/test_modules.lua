-- Modules ac and lacdc as the policy code sees them right after require.
local t = require "testlib"
local ac, lacdc = require "ac", require "lacdc"

t.run {
  {"ac.dc yields vava, opening it once when absent, and the mock when asked", function()
    t.eq(package.loaded.vava, nil, "vava not loaded yet")
    local dc = ac.dc
    t.eq(t.show(dc.EVENT_OPEN_PRE, rawequal(package.loaded.vava, dc), rawget(_G, "vava"), rawequal(ac.dc, dc),
                rawget(ac, "dc")), "24, true, nil, true, nil", "loaded as module vava, no global, not stored")
    local mock = {}
    package.preload.vava_mock = function() return mock end
    ac.mockdriver(true)
    t.eq(rawequal(ac.dc, mock), true, "mock after mockdriver(true)")
    ac.mockdriver(false)
    t.eq(t.show(rawequal(ac.dc, dc), ac.somethingelse, ac[5]), "true, nil, nil", "real module again; other keys nil")
    t.raise_all {{"string expected", function() return ac[true] end},
                 {"bad argument #1 to '?' (expected true or false)", ac.mockdriver, 1},
                 {"bad argument #1 to '?' (expected true or false)", ac.mockdriver}}
    local vava = require "vava"
    t.eq(t.show(rawequal(vava, lacdc), vava.open == lacdc.open, t.count(vava) == t.count(lacdc)), "false, true, true",
         "lacdc: an equal, separate table")
  end},
  {"small services", function()
    t.eq(t.show(ac.GetMountPointFromPath("/"), ac.GetMountPointFromPath("/proc/self")), '"/", "/proc"', "mount points")
    t.eq(t.show(ac.GetMountPointFromPath("/no/such/path")), 'nil, "Invalid argument", 22', "missing path")
    local a, b = ac.GetInstalledSoftware()
    t.eq(type(a) == "table" and type(b) == "table" and a ~= b and next(a) == nil, true, "two tables, empty")
    local n = function(...) return select("#", ...) end
    t.eq(n(ac.InstallDriver(1, 2)) + n(ac.UninstallDriver()) + n(ac.CacheSelfTest("x")) + n(ac.corelimit()) +
         n(ac.WriteEventLocally("acengine test line")), 0, "no results")
    t.raises("string expected", ac.WriteEventLocally, {})
    local p1, p2 = ac.ProfilerBindings()
    t.eq(type(p1) == "userdata" and type(p2) == "userdata" and p1 ~= p2, true, "two function addresses")
    ac.EnterCriticalSection(); ac.EnterCriticalSection(); ac.LeaveCriticalSection(); ac.LeaveCriticalSection()
    ac.EnterAutoAuthorizeCommandCS(); ac.EnterAutoAuthorizeCommandCS()
    ac.LeaveAutoAuthorizeCommandCS(); ac.LeaveAutoAuthorizeCommandCS()
    t.raises("StatsEvent uninitialized", ac.StatsEvent)
  end},
  {"constant groups map both ways", function()
    local cd = lacdc.CreationDisposition
    t.eq(rawequal(lacdc.event, lacdc.type), true, "event and type are one table")
    t.eq(t.show(lacdc.type[24], lacdc.type.open_pre, lacdc.type[0], lacdc.type.proc_start, lacdc.EVENT_MMAP_POST,
                lacdc.type[50], lacdc.reply[0], lacdc.reply.trackfile, lacdc.REPLY_BLOCK, lacdc.action[0],
                lacdc.action.notify, lacdc.ALLOW, lacdc.entity.regvalue, lacdc.ENTITY_PROCESS, lacdc.TRUNCATE_EXISTING),
         '"open_pre", 24, "null", 1, 49, nil, "timeout", 5, 3, "ignore", 5, 1, 3, 4, 5', "both ways")
    -- Two names share 2 and 4: the later registration wins each way.
    t.eq(t.show(cd.always, cd.existing, cd.new, cd[2], cd[4], cd[3]), '4, 5, 1, "always", "always", "existing"', "dispositions")
  end},
}
