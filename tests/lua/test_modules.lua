-- Modules ac and lacdc as the policy code sees them right after require.
local t, ac, lacdc = require "testlib", require "ac", require "lacdc"
local function n(...) return select("#", ...) end
t.run {
  {"ac.dc yields vava, opening it once when absent, and the mock when asked", function()
    t.eq(package.loaded.vava, nil, "vava not loaded yet")
    local dc, mock = ac.dc, {}
    t.eq(t.show(dc.EVENT_OPEN_PRE, rawequal(package.loaded.vava, dc), rawget(_G, "vava"), rawequal(ac.dc, dc),
                rawget(ac, "dc")), "24, true, nil, true, nil", "loaded as module vava, no global, not stored")
    package.preload.vava_mock = function() return mock end
    ac.mockdriver(true)
    t.eq(rawequal(ac.dc, mock), true, "mock after mockdriver(true)")
    ac.mockdriver(false)
    t.eq(t.show(rawequal(ac.dc, dc), ac.somethingelse, ac[5], ac.dx, ac.xc, ac.dcx), "true, nil, nil, nil, nil, nil",
         "real module again; other keys nil")
    t.raise_all {{"string expected", function() return ac[true] end},
                 {"bad argument #1 to '?' (expected true or false)", ac.mockdriver, 1}}
    t.eq(t.show(rawequal(dc, lacdc), dc.open == lacdc.open, t.count(dc) == t.count(lacdc)), "false, true, true", "equal, separate")
  end},
  {"small services and constant groups", function()
    t.eq(t.show(ac.GetMountPointFromPath("/proc/self")) .. t.show(ac.GetMountPointFromPath("/no/such")),
         '"/proc"nil, "Invalid argument", 22', "mount points")
    local a, b = ac.GetInstalledSoftware()
    t.eq(type(a) == "table" and type(b) == "table" and a ~= b and next(a) == nil, true, "two tables, empty")
    t.eq(n(ac.InstallDriver(1, 2)) + n(ac.UninstallDriver()) + n(ac.CacheSelfTest("x")) + n(ac.corelimit()) +
         n(ac.WriteEventLocally("acengine test line")) + n(ac.EnterCriticalSection()) + n(ac.EnterCriticalSection()) +
         n(ac.LeaveCriticalSection()) + n(ac.LeaveCriticalSection()) + n(ac.EnterAutoAuthorizeCommandCS()) +
         n(ac.LeaveAutoAuthorizeCommandCS()), 0, "no results; critical sections are recursive")
    local p1, p2 = ac.ProfilerBindings()
    t.eq(type(p1) == "userdata" and type(p2) == "userdata" and p1 ~= p2, true, "two function addresses")
    t.raise_all {{"string expected", ac.WriteEventLocally, {}}, {"StatsEvent uninitialized", ac.StatsEvent}}
    local cd = lacdc.CreationDisposition  -- two names share 2 and 4: the later registration wins each way
    t.eq(t.show(rawequal(lacdc.event, lacdc.type), lacdc.type[24], lacdc.type.open_pre, lacdc.type[0], lacdc.type[50],
                lacdc.reply[0], lacdc.reply.trackfile, lacdc.action.notify, lacdc.entity.regvalue, cd.always, cd[2], cd[3]),
         'true, "open_pre", 24, "null", nil, "timeout", 5, 5, 3, 4, "always", "existing"', "groups map both ways")
  end},
}
