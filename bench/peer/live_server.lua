-- The live-mode side of the side-by-side benchmark: the simulator watches one
-- tmpfs (sim.live) and this process answers its events with the engine and
-- the sample policy, as bench/live_latency.lua does, until the file STOP
-- exists. Run with the simulated driver preloaded:
--   lua5.2 live_server.lua SOURCE_DIR TMPFS_DIR PROGRAM_DIR STOP
local source, dir, progdir, stopfile = arg[1], arg[2], arg[3], arg[4]
assert(stopfile, "usage: live_server.lua SOURCE_DIR TMPFS_DIR PROGRAM_DIR STOP")
package.path = source .. "/examples/?.lua;" .. source .. "/policy/?.lua;" .. package.path
local lacdc = require "lacdc"
local sim = require "vavasim"
local policy = require "policy"
policy.trusted_dirs = {progdir}

sim.reset()
sim.setup{hook = true, driver = true, node = true}
local h = assert(lacdc.open())
local opts = {lockdown = 1}
sim.live{mount = dir}
io.stdout:write("ready\n")
io.stdout:flush()

local function stopped()
  local f = io.open(stopfile)
  if f then f:close() end
  return f ~= nil
end

-- The stop file is looked for when the queue runs dry and every 4096 events,
-- so that a storm costs no extra system calls per event.
local n = 0
while true do
  local ev = h:get(20, 1, opts.lockdown, 0, "", 0, 0)
  if ev then
    local reply = policy.decide(ev, opts)
    if reply then h:reply(ev, reply) end
    n = n + 1
    if n % 4096 == 0 and stopped() then break end
  elseif stopped() then
    break
  end
end
sim.live(false)
h:close()
