-- The host stand-in's Lua module: document objects, zip streams and constant
-- views (the profiler counts are exercised by drv_device.lua).
local t = require "testlib"
local vyacore = require "vyacore"

local dir = os.tmpname()
os.remove(dir)
assert(os.execute("mkdir -m 0700 " .. dir))

local function sh_quote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

-- Number of entries of a zip archive, or nil and the reason it is not one.
local function zip_entries(path)
  local p = assert(io.popen("python3 -c " .. sh_quote([[
import sys, zipfile
try:
    print(len(zipfile.ZipFile(sys.argv[1]).infolist()))
except Exception as e:
    print(type(e).__name__)
]]) .. " " .. sh_quote(path) .. " 2>&1"))
  local out = p:read("*a"):gsub("\n$", "")
  p:close()
  return tonumber(out) or nil, out
end

local function file_size(path)
  local f = io.open(path, "rb")
  if not f then return nil end
  local n = f:seek("end")
  f:close()
  return n
end

local ok, err = pcall(t.run, {
  {"GetPluginFile joins the root, the plugin and the file name", function()
    local d = vyacore.dom("/var/lib/agent")
    t.eq(d:GetPluginFile("ac", "ac.db"), "/var/lib/agent/ac/ac.db", "path")
    t.eq(d:GetPluginFile("", ""), "/var/lib/agent//", "empty parts are kept")
    t.eq(d:GetPluginFile(12, 3.5), "/var/lib/agent/12/3.5", "numbers as text")
    t.eq(vyacore.dom(""):GetPluginFile("a", "b"), "/a/b", "empty root")
    t.raises("bad argument #2", d.GetPluginFile, d, nil, "x")
    t.raises("Dom object expected", d.GetPluginFile, {}, "a", "b")
    t.raises("bad argument #1", vyacore.dom, nil)
    t.eq(d.close, nil, "a document has no close")
    t.eq(d.root, nil, "no fields")
    t.eq(getmetatable(d), "host object", "metatable is protected")
  end},

  {"constant views answer like the original and keep it alive", function()
    local d = vyacore.dom(dir)
    local c = vyacore.const(d)
    t.eq(rawequal(c, d), false, "a separate value")
    t.eq(c:GetPluginFile("x", "y"), d:GetPluginFile("x", "y"), "same answer")
    t.eq(tostring(c), "const " .. tostring(d), "tostring")
    t.eq(vyacore.const(c):GetPluginFile("x", "y"), dir .. "/x/y", "view of a view")
    for _, v in ipairs {{"nil"}, {"number", 1}, {"table", {}}, {"file", io.stdout}} do
      t.raises("host object expected", vyacore.const, v[2])
    end

    -- The original of a view is not collected while the view lives.
    local path = dir .. "/kept.zip"
    local view = vyacore.const(vyacore.zip(path))
    collectgarbage()
    collectgarbage()
    t.eq(file_size(path), 0, "archive not finished while the view lives")
    t.raises("constant", view.close, view)
    view = nil
    collectgarbage()
    collectgarbage()
    t.eq(zip_entries(path), 0, "finished once both are collected")
  end},

  {"zip streams: close finishes an empty archive once", function()
    local path = dir .. "/empty.zip"
    local z = vyacore.zip(path)
    t.eq(tostring(z):match("^SLB%.wx%.ZipOutputStream: "), "SLB.wx.ZipOutputStream: ", "tostring")
    t.eq(z:close(), true, "first close")
    t.eq(z:close(), false, "second close")
    t.eq(zip_entries(path), 0, "entries")
    t.eq(file_size(path), 22, "just the end record")
    t.eq(z.GetPluginFile, nil, "a zip stream has no GetPluginFile")
    t.raises("ZipOutputStream object expected", z.close, vyacore.dom(dir))

    -- An existing file is replaced; a stream left open is finished by the collector.
    local f = assert(io.open(path, "wb"))
    f:write(("junk"):rep(100))
    f:close()
    z = vyacore.zip(path)
    z = nil
    collectgarbage()
    collectgarbage()
    t.eq(zip_entries(path), 0, "collected stream")
    t.eq(file_size(path), 22, "old content gone")

    t.raises("cannot create " .. dir .. "/missing/x.zip: No such file or directory",
             vyacore.zip, dir .. "/missing/x.zip")
    t.raises("bad argument #1", vyacore.zip)
  end},
})
os.execute("rm -rf " .. sh_quote(dir))
if not ok then error(err, 0) end
