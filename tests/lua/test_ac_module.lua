-- Module ac: table, ErrNotExec, the dc accessor and the small services.
local t = require "testlib"
local ac = require "ac"

t.run {
  {"43 functions and ErrNotExec", function()
    local n = 0
    for _, v in pairs(ac) do if type(v) == "function" then n = n + 1 end end
    t.eq(n, 43, "function count")
    t.eq(ac.ErrNotExec, 13, "ErrNotExec")
    t.eq(math.type and math.type(ac.ErrNotExec) or type(ac.ErrNotExec), "number", "type")
  end},

  {"dc yields vava, opening it once when absent, and the mock when asked", function()
    t.eq(package.loaded.vava, nil, "vava not loaded yet")
    local dc = ac.dc
    t.eq(type(dc), "table", "dc opened the channel module")
    t.eq(rawequal(package.loaded.vava, dc), true, "registered as loaded module vava")
    t.eq(rawget(_G, "vava"), nil, "no global created")
    t.eq(rawequal(ac.dc, dc), true, "second read gives the loaded module")
    t.eq(rawget(ac, "dc"), nil, "not stored in the module table")
    t.eq(dc.EVENT_OPEN_PRE, 24, "it is the channel module")

    local mock = {mock = true}
    package.preload.vava_mock = function() return mock end
    ac.mockdriver(true)
    t.eq(rawequal(ac.dc, mock), true, "mock after mockdriver(true)")
    ac.mockdriver(false)
    t.eq(rawequal(ac.dc, dc), true, "real module again after mockdriver(false)")
    t.eq(ac.somethingelse, nil, "other absent fields are nil")
    t.eq(ac[5], nil, "a numeric key is converted and yields nil")
    t.raises("string expected", function() return ac[true] end)
  end},

  {"mockdriver takes only booleans", function()
    t.raises("bad argument #1", ac.mockdriver, 1)
    t.raises("(expected true or false)", ac.mockdriver, 1)
    t.raises("expected true or false", ac.mockdriver, nil)
    t.raises("expected true or false", ac.mockdriver)
  end},

  {"GetMountPointFromPath", function()
    local first
    for line in io.lines("/proc/mounts") do
      local dir = line:match("^%S+ (%S+)")
      if dir == "/" then first = dir break end
    end
    t.eq(ac.GetMountPointFromPath("/"), "/", "root")
    local r = t.pack(ac.GetMountPointFromPath("/no/such/path/here"))
    t.eq(r.n, 3, "three results")
    t.eq(r[1], nil, "nil")
    t.eq(r[2], "Invalid argument", "EINVAL text")
    t.eq(r[3], 22, "22")
    local proc = ac.GetMountPointFromPath("/proc/self")
    t.eq(proc, "/proc", "a path on /proc")
  end},

  {"small services", function()
    local a, b = ac.GetInstalledSoftware()
    t.eq(type(a), "table", "first table")
    t.eq(type(b), "table", "second table")
    t.eq(rawequal(a, b), false, "two tables")
    t.eq(next(a), nil, "empty")
    t.eq(select("#", ac.InstallDriver(1, 2)), 0, "InstallDriver returns nothing")
    t.eq(select("#", ac.UninstallDriver()), 0, "UninstallDriver returns nothing")
    t.eq(select("#", ac.CacheSelfTest("x")), 0, "CacheSelfTest returns nothing")
    t.eq(select("#", ac.WriteEventLocally("acengine test line")), 0, "WriteEventLocally")
    ac.WriteEventLocally(42)
    t.raises("string expected", ac.WriteEventLocally, {})
    t.eq(select("#", ac.corelimit()), 0, "corelimit")
    local p1, p2 = ac.ProfilerBindings()
    t.eq(type(p1), "userdata", "blockfilter address")
    t.eq(type(p2), "userdata", "running address")
    t.eq(p1 ~= p2, true, "two functions")
  end},

  {"critical sections are recursive", function()
    ac.EnterCriticalSection(); ac.EnterCriticalSection()
    ac.LeaveCriticalSection(); ac.LeaveCriticalSection()
    ac.EnterAutoAuthorizeCommandCS(); ac.EnterAutoAuthorizeCommandCS()
    ac.LeaveAutoAuthorizeCommandCS(); ac.LeaveAutoAuthorizeCommandCS()
  end},
}
