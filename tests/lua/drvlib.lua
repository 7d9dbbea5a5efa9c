-- Helpers for tests over the simulated driver.
local t = require "testlib"
local sim, lacdc = require "vavasim", require "lacdc"
local M = {sim = sim, lacdc = lacdc, T = lacdc.type, debuglog = "/var/opt/vy_agent/ac/eventAbstraction.log",
           eventslog = "/var/opt/vy_agent/ac/FileSystemEvents"}
-- All results in one string ("nil | -4 | poll(): Timeout (-4)").
function M.show(...)
  local out = {}
  for i = 1, select("#", ...) do out[i] = tostring((select(i, ...))) end
  return table.concat(out, " | ")
end
-- A loaded driver with its node and one open handle.
function M.ready(exitchannel)
  sim.reset()
  sim.setup{hook = true, driver = true, node = true}
  return assert(lacdc.open(exitchannel))
end
-- h:get with named options; no logs unless asked.
function M.get(h, o)
  o = o or {}
  return h:get(o.timeout or 50, 1, o.lockdown or 0, o.log or 0, o.basedir or "", o.maintenanceMode or 0, o.startTime or 0)
end
-- The event handed to Lua, or nil when the fast path answered everything.
function M.ev(h, o)
  local ev, code, msg = M.get(h, o)
  if ev then return ev end
  t.eq(code, -4, "only a timeout may end a get here: " .. tostring(msg))
end
-- The replies received since the last call, as names ("ALLOW IGNORE ...").
local NAMES = {}
for _, k in ipairs {"ALLOW", "BLOCK", "ERROR", "IGNORE", "TRACKFILE"} do NAMES[lacdc["REPLY_" .. k]] = k end
function M.codes()
  local out = {}
  for i, r in ipairs(sim.replies()) do out[i] = NAMES[r.reply] or tostring(r.reply) end
  return table.concat(out, " ")
end
function M.counters()  -- counter deltas since the call
  local before = lacdc.EventAbstractionStats()
  return function(name) return lacdc.EventAbstractionStats()[name] - before[name] end
end
function M.clearlogs() os.execute("mkdir -p /var/opt/vy_agent/ac && rm -f " .. M.debuglog .. " " .. M.eventslog) end
function M.readfile(path)
  local f = io.open(path)
  return f and f:read("*a"), f and f:close()
end
M.mypid = tonumber(M.readfile("/proc/self/stat"):match("^%d+"))
-- A fresh directory out of /tmp, which the drift tracker excludes.
function M.workdir() return t.sh("mktemp -d /srv/acengine.XXXXXX"):match("%S+") end
function M.write(path, text, mode)
  t.writefile(path, text or "content\n")
  if mode then os.execute(("chmod %o '%s'"):format(mode, path)) end
  return path
end
-- Polls fn every 10 ms until it holds; fails after `seconds`.
function M.wait_until(fn, what, seconds)
  local deadline = os.time() + (seconds or 60)
  while not fn() do
    if os.time() > deadline then error("timed out waiting for " .. what, 2) end
    os.execute("sleep 0.01")
  end
end
return M
