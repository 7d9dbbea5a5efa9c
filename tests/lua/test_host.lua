-- The host stand-in's Lua module: document objects, zip streams and constant
-- views (the profiler counts are exercised by drv_device.lua).
local t = require "testlib"
local vyacore = require "vyacore"

local function file_size(path)
  local f = io.open(path, "rb")
  return f and f:seek("end"), f and f:close()
end

local function collect() collectgarbage(); collectgarbage() end

t.run_in_dir(function(dir) return {
  {"GetPluginFile joins the root, the plugin and the file name", function()
    local d = vyacore.dom("/var/lib/agent")
    t.eq(d:GetPluginFile("ac", "ac.db"), "/var/lib/agent/ac/ac.db", "path")
    t.eq(d:GetPluginFile("", ""), "/var/lib/agent//", "empty parts are kept")
    t.eq(d:GetPluginFile(12, 3.5), "/var/lib/agent/12/3.5", "numbers as text")
    t.eq(vyacore.dom(""):GetPluginFile("a", "b"), "/a/b", "empty root")
    t.raises("bad argument #2", d.GetPluginFile, d, nil, "x")
    t.raises("Dom object expected", d.GetPluginFile, {}, "a", "b")
    t.raises("bad argument #1", vyacore.dom, nil)
    t.eq(t.show(d.close, d.root, getmetatable(d)), 'nil, nil, "host object"', "no close, no fields, protected")
  end},

  {"constant views answer like the original and keep it alive", function()
    local d = vyacore.dom(dir)
    local c = vyacore.const(d)
    t.eq(rawequal(c, d), false, "a separate value")
    t.eq(c:GetPluginFile("x", "y"), d:GetPluginFile("x", "y"), "same answer")
    t.eq(tostring(c), "const " .. tostring(d), "tostring")
    t.eq(vyacore.const(c):GetPluginFile("x", "y"), dir .. "/x/y", "view of a view")
    for _, v in ipairs {{}, 1, io.stdout} do t.raises("host object expected", vyacore.const, v) end
    t.raises("host object expected", vyacore.const, nil)

    local path = dir .. "/kept.zip"
    local view = vyacore.const(vyacore.zip(path))
    collect()
    t.eq(file_size(path), 0, "archive not finished while the view lives")
    t.raises("constant", view.close, view)
    view = nil
    collect()
    t.eq(t.zip_listing(path), "", "finished once both are collected")
  end},

  {"zip streams: close finishes an empty archive once", function()
    local path = dir .. "/empty.zip"
    local z = vyacore.zip(path)
    t.eq(tostring(z):match("^SLB%.wx%.ZipOutputStream: ") ~= nil, true, "tostring")
    t.eq(z:close(), true, "first close")
    t.eq(z:close(), false, "second close")
    t.eq(file_size(path) .. " " .. t.zip_listing(path), "22 ", "just the end record")
    t.eq(z.GetPluginFile, nil, "a zip stream has no GetPluginFile")
    t.raises("ZipOutputStream object expected", z.close, vyacore.dom(dir))

    -- An existing file is replaced; a stream left open is finished by the collector.
    t.writefile(path, ("junk"):rep(100))
    z = vyacore.zip(path)
    z = nil
    collect()
    t.eq(file_size(path) .. " " .. t.zip_listing(path), "22 ", "collected stream, old content gone")
    local missing = dir .. "/missing/x.zip"
    t.raises("cannot create " .. missing .. ": No such file or directory", vyacore.zip, missing)
    t.raises("bad argument #1", vyacore.zip)
  end},
} end)
