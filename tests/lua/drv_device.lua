-- Loading the driver, the device node, handles and the profiler hooks.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc = d.sim, d.lacdc

local dir = os.tmpname()
os.remove(dir)
os.execute("mkdir -p " .. dir)
local driver, hook, other = dir .. "/vava.ko", dir .. "/qnhook.ko", dir .. "/other.ko"
for _, p in ipairs {driver, hook, other} do assert(io.open(p, "w")):close() end

local LOADED = {hook = true, driver = true, node = true}

t.run {
  {"load: the hook, then the driver, then the node; failures and notes", function()
    sim.reset()
    t.eq(d.show(lacdc.load(driver, hook)), "true", "one result when everything was fresh")
    local st = sim.status()
    t.eq(st.hook and st.driver and st.node, true, "all there")
    t.eq(st.rdev, st.major * 256, "node made with the driver's major, minor 0")
    t.eq(d.show(lacdc.load(driver, hook)), 'true | 17 | load_module("' .. hook .. '"): File exists (17)', "again")
    local none = function() end
    for _, c in ipairs {
      {none, dir .. "/missing.ko", 'nil | 2 | load_module("' .. dir .. '/missing.ko"): No such file or directory (2)'},
      {none, other, 'nil | 19 | find("vava", /proc/devices): No such device (19)'},  -- no "vava" device
      {function() sim.fail("mknod", 13) end, driver, 'nil | 13 | mknod("/dev/qnvyac", IFCHR, dev): Permission denied (13)'},
      {function() sim.setup{node = true} end, driver, 'true | 17 | mknod("/dev/qnvyac", IFCHR, dev): File exists (17)'},
    } do
      sim.reset()
      c[1]()
      t.eq(d.show(lacdc.load(c[2], hook)), c[3], c[3])
      t.eq(sim.status().hook, true, "the hook stays loaded")
    end
    t.raises("string expected", lacdc.load, driver)
  end},

  {"unload", function()
    sim.reset()
    sim.setup(LOADED)
    t.eq(d.show(lacdc.unload()), "true", "one result when all was there")
    local st = sim.status()
    t.eq(st.hook or st.driver or st.node, false, "all removed")
    t.eq(d.show(lacdc.unload()), 'true | 2 | unload_module("vava"): No such file or directory (2)', "nothing loaded")
    sim.setup(LOADED)
    sim.fail("delete_module", 16)
    t.eq(d.show(lacdc.unload()), 'nil | 16 | unload_module("vava"): Device or resource busy (16)', "busy driver")
    t.eq(sim.status().node, true, "the node stays")
    sim.fail("delete_module", 16, 1, 1)  -- the driver goes, the hook refuses
    t.eq(d.show(lacdc.unload()), 'nil | 16 | unload_module("qnhook"): Device or resource busy (16)', "busy hook")
  end},

  {"open, tostring, isdone and close; open failures", function()
    sim.reset()
    t.eq(d.show(lacdc.open()), 'nil | 2 | open_device("/dev/qnvyac"): No such file or directory (2)', "nothing loaded")
    sim.setup{hook = true, driver = true}
    local h = assert(lacdc.open(), "the node is made when the driver is loaded")
    t.eq(tostring(h):match("^vava%.handle: 0x%x+$") ~= nil, true, "tostring")
    t.eq(h:isdone(), false, "not stopped")
    t.eq(sim.status().node, true, "node made"); t.eq(sim.status().handles, 1, "one handle")
    t.eq(d.show(h:close()), "true", "close")
    t.eq(sim.status().handles, 0, "descriptor closed")
    t.eq(d.show(h:close()), "nil | 0 | Double close", "second close")
    t.raises("vava.handle expected", h.close, {})

    sim.setup{driver = false}
    t.eq(select(2, lacdc.open()), 6, "ENXIO with a node but no driver")
    t.eq(d.show(lacdc.open(sim.null())), "nil | -1 | ShouldExitChannel not setup:  (-1)", "null shutdown channel")
    sim.setup{driver = true}
    sim.fail("close", 9)
    h = assert(lacdc.open())
    local ok, code, msg = h:close()
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
    local vyacore, ac = require "vyacore", require "ac"
    local h = d.ready()
    lacdc.profiler(ac.ProfilerBindings())
    local b0, r0 = vyacore.profiler_counts()
    h:get(0, 1, 0, 0, "", 0, 0)
    h:reply({id = 1}, 2)
    h:command('"ping"')
    local b1, r1 = vyacore.profiler_counts()
    t.eq((b1 - b0) .. " " .. (r1 - r0), "3 3", "start and end hook calls for a wait, a reply and a command")
    lacdc.profiler()
    h:get(0, 1, 0, 0, "", 0, 0)
    t.eq(vyacore.profiler_counts(), b1, "hooks removed")
    h:close()
  end},
}
os.execute("rm -rf " .. dir)
