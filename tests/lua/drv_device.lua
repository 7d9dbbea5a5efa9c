-- Loading the driver, the device node, handles and the profiler hooks.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc = d.sim, d.lacdc

local dir = os.tmpname()
os.remove(dir)
os.execute("mkdir -p " .. dir)
local driver, hook = dir .. "/vava.ko", dir .. "/qnhook.ko"
for _, p in ipairs {driver, hook} do assert(io.open(p, "w")):close() end

t.run {
  {"load loads the hook first, then the driver, then makes the node", function()
    sim.reset()
    local r = t.pack(lacdc.load(driver, hook))
    t.eq(r.n, 1, "one result when everything was fresh")
    t.eq(r[1], true, "true")
    local st = sim.status()
    t.eq(st.hook, true, "hook loaded")
    t.eq(st.driver, true, "driver loaded")
    t.eq(st.node, true, "node made")
    t.eq(st.rdev, st.major * 256, "node made with the driver's major, minor 0")
  end},

  {"load again reports EEXIST of the hook module", function()
    local ok, code, msg = lacdc.load(driver, hook)
    t.eq(ok, true, "still true")
    t.eq(code, 17, "EEXIST")
    t.eq(msg, 'load_module("' .. hook .. '"): File exists (17)', "hook message")
  end},

  {"load failures", function()
    sim.reset()
    local ok, code, msg = lacdc.load(dir .. "/missing.ko", hook)
    t.eq(ok, nil, "missing driver file")
    t.eq(code, 2, "ENOENT")
    t.eq(msg, 'load_module("' .. dir .. '/missing.ko"): No such file or directory (2)', "message")
    t.eq(sim.status().hook, true, "the hook stays loaded")

    sim.reset()
    local other = dir .. "/other.ko"
    assert(io.open(other, "w")):close()
    ok, code, msg = lacdc.load(other, hook)  -- loaded, but no "vava" in /proc/devices
    t.eq(ok, nil, "no device entry")
    t.eq(code, 19, "ENODEV")
    t.eq(msg, 'find("vava", /proc/devices): No such device (19)', "find message")

    sim.reset()
    sim.fail("mknod", 13)
    ok, code, msg = lacdc.load(driver, hook)
    t.eq(code, 13, "mknod failure")
    t.eq(msg, 'mknod("/dev/qnvyac", IFCHR, dev): Permission denied (13)', "mknod message")

    sim.reset()
    sim.setup{node = true}
    ok, code, msg = lacdc.load(driver, hook)
    t.eq(ok, true, "existing node is only noted")
    t.eq(code, 17, "EEXIST")
    t.eq(msg, 'mknod("/dev/qnvyac", IFCHR, dev): File exists (17)', "mknod note")
    t.raises("string expected", lacdc.load, driver)
  end},

  {"unload", function()
    sim.reset()
    sim.setup{hook = true, driver = true, node = true}
    t.eq(t.pack(lacdc.unload()).n, 1, "one result when all was there")
    local st = sim.status()
    t.eq(st.hook or st.driver or st.node, false, "all removed")
    local ok, code, msg = lacdc.unload()
    t.eq(ok, true, "nothing loaded is only noted")
    t.eq(code, 2, "ENOENT")
    t.eq(msg, 'unload_module("vava"): No such file or directory (2)', "driver message")

    sim.setup{hook = true, driver = true, node = true}
    sim.fail("delete_module", 16)
    ok, code, msg = lacdc.unload()
    t.eq(ok, nil, "busy driver fails")
    t.eq(msg, 'unload_module("vava"): Device or resource busy (16)', "busy message")
    t.eq(sim.status().node, true, "the node stays")

    sim.fail("delete_module", 16, 1, 1)  -- the driver goes, the hook refuses
    ok, code, msg = lacdc.unload()
    t.eq(ok, nil, "hook failure")
    t.eq(msg, 'unload_module("qnhook"): Device or resource busy (16)', "hook message")
  end},

  {"open, tostring, isdone and close", function()
    sim.reset()
    sim.setup{hook = true, driver = true, node = true}
    local h = assert(lacdc.open())
    t.eq(tostring(h):match("^vava%.handle: 0x%x+$") ~= nil, true, "tostring")
    t.eq(h:isdone(), false, "not stopped")
    t.eq(sim.status().handles, 1, "one handle")
    t.eq(h:close(), true, "close")
    t.eq(sim.status().handles, 0, "descriptor closed")
    local r = t.pack(h:close())
    t.eq(r.n, 3, "three results")
    t.eq(r[1], nil, "nil")
    t.eq(r[2], 0, "0")
    t.eq(r[3], "Double close", "message")
    t.raises("vava.handle expected", lacdc.open().close, {})
  end},

  {"open failures and node creation", function()
    sim.reset()
    local ok, code, msg = lacdc.open()
    t.eq(code, 2, "no driver, no node")
    t.eq(msg, 'open_device("/dev/qnvyac"): No such file or directory (2)', "message")

    sim.setup{hook = true, driver = true}
    local h = assert(lacdc.open(), "node is made when the driver is loaded")
    t.eq(sim.status().node, true, "node made")
    h:close()

    sim.setup{driver = false}
    ok, code, msg = lacdc.open()
    t.eq(code, 6, "ENXIO with a node but no driver")

    ok, code, msg = lacdc.open(sim.null())
    t.eq(ok, nil, "null shutdown channel")
    t.eq(code, -1, "-1")
    t.eq(msg, "ShouldExitChannel not setup:  (-1)", "message")

    sim.setup{driver = true}
    sim.fail("close", 9)
    h = assert(lacdc.open())
    ok, code, msg = h:close()
    t.eq(code, 9, "EBADF")
    t.eq(msg:match("^close_device%(%): Bad file descriptor fd=%d+ %(9%)$") ~= nil, true, msg)
    t.eq(h:close(), nil, "closed even though close failed")
  end},

  {"a collected handle closes its descriptor", function()
    d.ready()
    collectgarbage()
    collectgarbage()
    t.eq(sim.status().handles, 0, "collected")
  end},

  {"profiler hooks bracket the blocking calls", function()
    local vyacore = require "vyacore"
    local ac = require "ac"
    local h = d.ready()
    lacdc.profiler(ac.ProfilerBindings())
    local b0, r0 = vyacore.profiler_counts()
    h:get(0, 1, 0, 0, "", 0, 0)              -- one wait
    h:reply({id = 1}, 2)                      -- one reply
    h:command('"ping"')                       -- one command
    local b1, r1 = vyacore.profiler_counts()
    t.eq(b1 - b0, 3, "start hook calls")
    t.eq(r1 - r0, 3, "end hook calls")
    lacdc.profiler()
    h:get(0, 1, 0, 0, "", 0, 0)
    local b2 = vyacore.profiler_counts()
    t.eq(b2, b1, "hooks removed")
    h:close()
  end},
}
os.execute("rm -rf " .. dir)
