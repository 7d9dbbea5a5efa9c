-- The host stand-in's Lua module: document objects, zip streams and constant views.
local t = require "testlib"
local vyacore = require "vyacore"
local function size(path) local f = io.open(path, "rb") return f and f:seek("end"), f and f:close() end
local function collect() collectgarbage(); collectgarbage() end

t.run_in_dir(function(dir) return {
  {"GetPluginFile and constant views", function()
    local d = vyacore.dom("/var/lib/agent")
    t.eq(t.show(d:GetPluginFile("ac", "ac.db"), d:GetPluginFile("", ""), d:GetPluginFile(12, 3.5),
                vyacore.dom(""):GetPluginFile("a", "b"), d.close, getmetatable(d)),
         '"/var/lib/agent/ac/ac.db", "/var/lib/agent//", "/var/lib/agent/12/3.5", "/a/b", nil, "host object"', "paths")
    local c = vyacore.const(d)
    t.eq(t.show(rawequal(c, d), vyacore.const(c):GetPluginFile("x", "y"), tostring(c) == "const " .. tostring(d)),
         'false, "/var/lib/agent/x/y", true', "a view answers like the original")
    t.raise_all {{"bad argument #2", d.GetPluginFile, d, nil, "x"}, {"Dom object expected", d.GetPluginFile, {}, "a", "b"},
                 {"bad argument #1", vyacore.dom}, {"host object expected", vyacore.const, {}}}
  end},

  {"zip streams: close finishes an archive once; views and the collector keep and finish it", function()
    local path = t.writefile(dir .. "/a.zip", ("junk"):rep(100))
    local z = vyacore.zip(path)
    t.eq(tostring(z):match("^SLB%.wx%.ZipOutputStream: ") ~= nil, true, "tostring")
    t.eq(t.show(z:close(), z:close(), size(path), t.zip_listing(path)), 'true, false, 22, ""', "replaced, closed once")
    t.raises("ZipOutputStream object expected", z.close, vyacore.dom(dir))
    local view = vyacore.const(vyacore.zip(path))
    collect()
    t.eq(size(path), 0, "not finished while the view lives")
    t.raises("constant", view.close, view)
    view = nil
    collect()
    t.eq(t.zip_listing(path), "", "finished once both are collected")
    t.raises("cannot create " .. dir .. "/no/x.zip: No such file or directory", vyacore.zip, dir .. "/no/x.zip")
  end},
} end)
