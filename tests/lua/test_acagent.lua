-- The embedding host: workers, globals, arguments and exit status.
local t = require "testlib"
local function run(args) return select(3, os.execute(t.build .. "/acagent " .. args .. " 2>/dev/null")) end
t.run_in_dir(function(dir)
  local s = dir .. "/script.lua"
  return {{"each worker sees its number, the count and the arguments; errors give 1, usage 2", function()
    t.writefile(s, ([[assert(require "ac" and require "lacdc")
      assert(io.open(%q .. worker, "w")):write(worker, " ", workers, " ", arg[0] and "arg0" or "-", " ", select("#", ...),
        " ", arg[1], "\n"):close()
      if worker == 2 and arg[1] == "fail" then error("boom") end]]):format(dir .. "/out."))
    t.eq(run("-w 3 " .. s .. " hello there"), 0, "exit status")
    for w = 1, 3 do t.eq(assert(io.open(dir .. "/out." .. w)):read("*l"), w .. " 3 arg0 2 hello", "worker " .. w) end
    t.eq(run("-w 2 " .. s .. " fail") .. run("/no/such/script.lua") .. run(""), "112", "worker failed; unloadable; usage")
    t.eq(run("--workers=2 " .. s .. " -w 5") .. run("-w2 --help") .. run("--version"), "000", "long forms; the script's own -w")
    t.eq(assert(io.open(dir .. "/out.2")):read("*l"), "2 2 arg0 2 -w", "options stop at the script")
    for _, a in ipairs{"-w 0", "--workers=x", "--foo", "-w"} do t.eq(run(a .. " " .. s), 2, a) end
  end}, {"a status snapshot while the workers run, read by 'acagent status'; gone at exit, stale once its agent is", function()
    local st, stop, status = dir .. "/s.json", dir .. "/stop", t.build .. "/acagent status "
    t.writefile(s, ("if worker == 2 then error('boom') end; require 'lacdc'.AddToCache('/x', 1)\n" ..
      "while not io.open(%q) do os.execute('sleep 0.05') end"):format(stop))
    local pid, json = t.spawn(t.build .. "/acagent -w 2 --status-file " .. st .. " " .. s, "acagent$"), ""
    for _ = 1, 100 do
      if not json:find('"failed".*"add_approved":1') then os.execute("sleep 0.05"); json = io.open(st) and t.sh(status .. "--json " .. st) or "" end
    end
    t.eq(json:match('"pid":(%d+)'), tostring(pid), "writer")
    t.eq(json:match('"workers":(%b[])'):gsub('"error":"[^"]*boom[^"]*"', "E"), '[{"index":1,"state":"running"},{"index":2,"state":"failed",E}]', "workers")
    t.eq(json:match('"CacheStats":{[^}]*"add_approved":(%d+)'), "1", "a counter")
    local text = t.sh(status .. st .. "; cp " .. st .. " " .. dir .. "/old.json; touch " .. stop)
    t.eq(#{text:match("\n  worker 2 +failed +%S+ boom\n"), text:match("\n  CacheStats\n    add_approved +1\n")}, 2, text)
    for _ = 1, 100 do if io.open(st) then os.execute("sleep 0.05") end end
    t.eq(io.open(st), nil, "removed at exit")
    t.kill(pid)
    t.eq(run("status " .. st) .. run("status " .. dir .. "/old.json"), "11", "missing; stale")
  end}}
end)
