-- Module ac: table, ErrNotExec, the dc accessor and the small services.
local t = require "testlib"
local ac = require "ac"

t.run {
  {"43 functions and ErrNotExec", function()
    local n = 0
    for _, v in pairs(ac) do if type(v) == "function" then n = n + 1 end end
    t.eq(n, 43, "function count")
    t.eq(ac.ErrNotExec, 13, "ErrNotExec")
  end},

  {"dc yields vava, opening it once when absent, and the mock when asked", function()
    t.eq(package.loaded.vava, nil, "vava not loaded yet")
    local dc = ac.dc
    t.eq(dc.EVENT_OPEN_PRE, 24, "dc opened the channel module")
    t.eq(rawequal(package.loaded.vava, dc), true, "registered as loaded module vava")
    t.eq(rawget(_G, "vava"), nil, "no global created")
    t.eq(rawequal(ac.dc, dc), true, "second read gives the loaded module")
    t.eq(rawget(ac, "dc"), nil, "not stored in the module table")

    local mock = {mock = true}
    package.preload.vava_mock = function() return mock end
    ac.mockdriver(true)
    t.eq(rawequal(ac.dc, mock), true, "mock after mockdriver(true)")
    ac.mockdriver(false)
    t.eq(rawequal(ac.dc, dc), true, "real module again after mockdriver(false)")
    t.eq(ac.somethingelse, nil, "other absent fields are nil")
    t.eq(ac[5], nil, "a numeric key is converted and yields nil")
    t.raises("string expected", function() return ac[true] end)
    t.raises("bad argument #1 to '?' (expected true or false)", ac.mockdriver, 1)
    t.raises("bad argument #1 to '?' (expected true or false)", ac.mockdriver, nil)
    t.raises("bad argument #1 to '?' (expected true or false)", ac.mockdriver)
  end},

  {"GetMountPointFromPath", function()
    t.eq(ac.GetMountPointFromPath("/"), "/", "root")
    t.eq(ac.GetMountPointFromPath("/proc/self"), "/proc", "a path on /proc")
    t.eq(t.show(ac.GetMountPointFromPath("/no/such/path/here")), 'nil, "Invalid argument", 22', "missing path")
  end},

  {"small services", function()
    local a, b = ac.GetInstalledSoftware()
    t.eq(type(a) == "table" and type(b) == "table" and a ~= b and next(a) == nil, true, "two tables, empty")
    for name, args in pairs {InstallDriver = {1, 2}, UninstallDriver = {}, CacheSelfTest = {"x"}, corelimit = {},
                             WriteEventLocally = {"acengine test line"}} do
      t.eq(select("#", ac[name](unpack(args))), 0, name .. " returns nothing")
    end
    ac.WriteEventLocally(42)
    t.raises("string expected", ac.WriteEventLocally, {})
    local p1, p2 = ac.ProfilerBindings()
    t.eq(type(p1) == "userdata" and type(p2) == "userdata" and p1 ~= p2, true, "two function addresses")
  end},

  {"critical sections are recursive", function()
    ac.EnterCriticalSection(); ac.EnterCriticalSection()
    ac.LeaveCriticalSection(); ac.LeaveCriticalSection()
    ac.EnterAutoAuthorizeCommandCS(); ac.EnterAutoAuthorizeCommandCS()
    ac.LeaveAutoAuthorizeCommandCS(); ac.LeaveAutoAuthorizeCommandCS()
  end},
}
