-- The embedding host: workers, globals, arguments and exit status.
local t = require "testlib"

local function run(args)
  return select(3, os.execute(t.build .. "/acagent " .. args .. " 2>/dev/null"))
end

t.run_in_dir(function(dir)
  local s = dir .. "/script.lua"
  return {
    {"each worker sees its number, the count and the arguments", function()
      t.writefile(s, string.format([[
        local f = assert(io.open(%q .. worker, "w"))
        f:write(worker, " ", workers, " ", arg[0] and "arg0" or "noarg0", " ", select("#", ...), " ", arg[1], "\n")
        f:close()
        assert(require "ac" and require "lacdc", "modules load through the acagent directory")
      ]], dir .. "/out."))
      t.eq(run("-w 3 " .. s .. " hello there"), 0, "exit status")
      for w = 1, 3 do
        t.eq(assert(io.open(dir .. "/out." .. w)):read("*l"), w .. " 3 arg0 2 hello", "worker " .. w)
      end
    end},

    {"a Lua error in any worker gives exit status 1; usage 2", function()
      t.writefile(s, "if worker == 2 then error('boom') end")
      t.eq(run("-w 2 " .. s), 1, "one worker failed")
      t.eq(run("/no/such/script.lua"), 1, "unloadable script")
      t.eq(run(""), 2, "usage")
    end},
  }
end)
