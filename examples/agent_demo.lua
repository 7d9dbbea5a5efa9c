-- Demo under acagent: worker 1 plays the driver (real processes and files,
-- events pushed through the simulated driver); the other workers run the
-- sample policy, one handle each.   acagent -w 3 examples/agent_demo.lua
local here = arg[0]:match("(.*/)") or "./"
package.path = here .. "?.lua;" .. here .. "../policy/?.lua;" .. package.path
local lacdc = require "lacdc"
local sim = require "vavasim"
local policy = require "policy"
local T = lacdc.type

local function sh(cmd)
  local p = io.popen(cmd)
  local out = p:read("*l")
  p:close()
  return out
end

local function wait_until(fn)
  for _ = 1, 1000 do
    if fn() then return true end
    os.execute("sleep 0.01")
  end
  error("timed out")
end

if worker == 1 then
  sim.reset()
  sim.setup{hook = true, driver = true, node = true}
  wait_until(function() return sim.status().handles == workers - 1 end)

  local dir = "/srv/acengine-demo"
  os.execute("rm -rf " .. dir .. " && mkdir -p " .. dir .. " && cp /usr/bin/true " .. dir .. "/tool")
  local f = io.open(dir .. "/new.sh", "w"); f:write("echo hi\n"); f:close()
  -- A process that holds new.sh open for writing on descriptor 3.
  local pid = tonumber(sh("(cd " .. dir .. " && sh -c 'echo $$; exec sleep 5' 3>>new.sh &)"))
  wait_until(function() return sh("readlink /proc/" .. pid .. "/exe") == "/usr/bin/sleep" end)

  local handles = workers - 1
  local script = {
    {type = T.execve_pre, id = 1, pid = pid, fd = -100, name = "/usr/bin/true"},
    {type = T.execve_pre, id = 2, pid = pid, fd = -100, name = dir .. "/tool"},
    {type = T.open_post, id = 3, pid = pid, fd = 3, flags = 0x241, rc = 3, name = dir .. "/new.sh"},
    {type = T.close_pre, id = 4, pid = pid, fd = 3},
    {type = T.execve_pre, id = 5, pid = pid, fd = -100, name = "/usr/bin/true"},
    {type = T.execve_pre, id = 6, pid = pid, fd = -100, name = dir .. "/tool"},
  }
  for i, ev in ipairs(script) do
    sim.push(ev, (i - 1) % handles + 1)
    os.execute("sleep 0.2")  -- let the verdict of one event reach the cache before the next
  end
  os.execute("sleep 0.5")
  print("driver: replies received")
  for _, r in ipairs(sim.replies()) do
    print(string.format("  event %d: %s", r.id, lacdc.reply[r.reply] or r.reply))
  end
  local s = lacdc.EventAbstractionStats()
  print(string.format("driver: %d events, %d answered in the fast path, %d handed to Lua",
                      s.total_events, s.eagain_return, s.lua_return))
  sim.shutdown()
  os.execute("kill " .. pid .. "; rm -rf " .. dir)
else
  wait_until(function() return sim.status().node end)
  local h = assert(lacdc.open(sim.exitchannel()))
  local n, why = policy.run(h, {timeout = 200, lockdown = 1}, function(ev, reply, text)
    print(string.format("worker %d: event %d %s %s -> %s (%s)", worker, ev.id, lacdc.type[ev.type],
                        ev.realpath, reply and lacdc.reply[reply] or "-", text))
  end)
  print(string.format("worker %d: stopped after %d events (%s)", worker, n, why))
  h:close()
end
