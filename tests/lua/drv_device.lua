-- Loading the driver, the device node, handles and the profiler hooks.
local t, d = require "testlib", require "drvlib"
local sim, lacdc, show = d.sim, d.lacdc, d.show
local dir = t.sh("mktemp -d"):match("%S+")
local driver, hook, other = t.writefile(dir .. "/vava.ko", ""), t.writefile(dir .. "/qnhook.ko", ""), t.writefile(dir .. "/o.ko", "")
local LOADED = {hook = true, driver = true, node = true}
local function busy(m) return 'nil | 16 | unload_module("' .. m .. '"): Device or resource busy (16)' end
t.run {
  {"load: the hook, then the driver, then the node; unload; failures", function()
    for _, c in ipairs {  -- setup, module, results
      {nil, driver, "true"}, {LOADED, driver, 'true | 17 | load_module("' .. hook .. '"): File exists (17)'},
      {nil, dir .. "/no.ko", 'nil | 2 | load_module("' .. dir .. '/no.ko"): No such file or directory (2)'},
      {nil, other, 'nil | 19 | find("vava", /proc/devices): No such device (19)'},
      {"mknod", driver, 'nil | 13 | mknod("/dev/qnvyac", IFCHR, dev): Permission denied (13)'},
      {{node = true}, driver, 'true | 17 | mknod("/dev/qnvyac", IFCHR, dev): File exists (17)'},
    } do
      sim.reset()
      if c[1] == "mknod" then sim.fail("mknod", 13) elseif c[1] then sim.setup(c[1]) end
      t.eq(show(lacdc.load(c[2], hook)), c[3], c[3])
      local st = sim.status()
      t.eq(st.hook, true, "the hook stays loaded")
      if c[3] == "true" then t.eq(tostring(st.driver and st.node) .. " " .. st.rdev, "true " .. st.major * 256, "node") end
    end
    t.raises("string expected", lacdc.load, driver)
    t.eq(show(lacdc.unload()) .. " " .. tostring(sim.status().hook or sim.status().driver), "true false", "all removed")
    t.eq(show(lacdc.unload()), 'true | 2 | unload_module("vava"): No such file or directory (2)', "nothing loaded")
    sim.setup(LOADED)
    sim.fail("delete_module", 16)
    t.eq(show(lacdc.unload()) .. " " .. tostring(sim.status().node), busy("vava") .. " true", "busy driver, node stays")
    sim.fail("delete_module", 16, 1, 1)  -- the driver goes, the hook refuses
    t.eq(show(lacdc.unload()), busy("qnhook"), "busy hook")
  end},
  {"open, tostring, isdone, close and collection", function()
    sim.reset()
    t.eq(show(lacdc.open()), 'nil | 2 | open_device("/dev/qnvyac"): No such file or directory (2)', "nothing loaded")
    sim.setup{hook = true, driver = true}
    local h = assert(lacdc.open(), "the node is made when the driver is loaded")
    t.eq(tostring(h):match("^vava%.handle: 0x%x+$") ~= nil, true, "tostring")
    t.eq(tostring(h:isdone()) .. " " .. sim.status().handles, "false 1", "not stopped, one handle")
    t.eq(show(h:close()) .. " " .. sim.status().handles .. " " .. show(h:close()), "true 0 nil | 0 | Double close", "closed")
    t.raises("vava.handle expected", h.close, {})
    sim.setup{driver = false}
    t.eq(select(2, lacdc.open()), 6, "ENXIO with a node but no driver")
    t.eq(show(lacdc.open(sim.null())), "nil | -1 | ShouldExitChannel not setup:  (-1)", "null shutdown channel")
    sim.setup{driver = true}
    sim.fail("close", 9)
    h = assert(lacdc.open())
    t.eq(select(3, h:close()):match("^close_device%(%): Bad file descriptor fd=%d+ %(9%)$") ~= nil, true, "failed")
    t.eq(h:close(), nil, "closed even though close failed")
    d.ready()
    collectgarbage(); collectgarbage()
    t.eq(sim.status().handles, 0, "a collected handle closes its descriptor")
  end},
  {"profiler hooks bracket the blocking calls", function()
    local vyacore, h = require "vyacore", d.ready()
    lacdc.profiler(require("ac").ProfilerBindings())
    local b0, r0 = vyacore.profiler_counts()
    h:get(0, 1, 0, 0, "", 0, 0)
    h:reply({id = 1}, 2)
    h:command('"ping"')
    local b1, r1 = vyacore.profiler_counts()
    lacdc.profiler()
    h:get(0, 1, 0, 0, "", 0, 0)
    t.eq((b1 - b0) .. " " .. (r1 - r0) .. " " .. vyacore.profiler_counts() - b1, "3 3 0", "a wait, a reply, a command; removed")
  end},
}
os.execute("rm -rf " .. dir)
