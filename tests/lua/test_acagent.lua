-- The embedding host: workers, globals, arguments and exit status.
local t = require "testlib"

local function script(text)
  local name = os.tmpname()
  local f = assert(io.open(name, "w"))
  f:write(text)
  f:close()
  return name
end

local function run(args)
  local ok, how, code = os.execute(t.build .. "/acagent " .. args .. " 2>/dev/null")
  return code
end

t.run {
  {"each worker sees its number, the count and the arguments", function()
    local out = os.tmpname()
    local s = script(string.format([[
      local f = assert(io.open(%q .. "." .. worker, "w"))
      f:write(worker, " ", workers, " ", arg[0] and "arg0" or "noarg0", " ", select("#", ...), " ", arg[1], "\n")
      f:close()
      assert(require "ac" and require "lacdc", "modules load through the acagent directory")
    ]], out))
    t.eq(run("-w 3 " .. s .. " hello there"), 0, "exit status")
    for w = 1, 3 do
      local f = assert(io.open(out .. "." .. w))
      t.eq(f:read("*l"), w .. " 3 arg0 2 hello", "worker " .. w)
      f:close()
      os.remove(out .. "." .. w)
    end
    os.remove(s)
  end},

  {"a Lua error in any worker gives exit status 1", function()
    local s = script("if worker == 2 then error('boom') end")
    t.eq(run("-w 2 " .. s), 1, "one worker failed")
    os.remove(s)
    t.eq(run("/no/such/script.lua"), 1, "unloadable script")
    t.eq(run(""), 2, "usage")
  end},
}
