-- Helpers for tests that run with the simulated driver preloaded.
local M = {}
local sim = require "vavasim"
local lacdc = require "lacdc"

M.sim, M.lacdc = sim, lacdc

function M.mypid()
  local f = assert(io.open("/proc/self/stat"))
  local pid = f:read("*n")
  f:close()
  return pid
end

-- A loaded driver with its node and one open handle.
function M.ready(exitchannel)
  sim.reset()
  sim.setup{hook = true, driver = true, node = true}
  local h = assert(lacdc.open(exitchannel))
  return h
end

-- get with the options of a policy loop: no logs unless asked.
function M.get(h, timeout, logMode)
  return h:get(timeout, 1, 0, logMode or 0, "", 0, 0)
end

M.logdir = "/var/opt/vy_agent/ac"
M.debuglog = M.logdir .. "/eventAbstraction.log"
M.eventslog = M.logdir .. "/FileSystemEvents"

function M.clearlogs()
  os.execute("mkdir -p " .. M.logdir)
  os.remove(M.debuglog)
  os.remove(M.eventslog)
end

function M.readfile(path)
  local f = io.open(path)
  if not f then return nil end
  local s = f:read("*a")
  f:close()
  return s
end

return M
