-- The worker loop of `acagent host`: one handle per worker; what the engine's
-- fast path leaves to the policy is decided by the policy module (a file that
-- returns a table with decide(ev, opts), like examples/policy.lua, and
-- optionally idle(), called when no event came for a while) and answered.
-- SIGHUP makes every worker load the policy file again between two events; a
-- file that fails to load leaves the previous policy in force. The loop ends
-- when the driver hangs up (acagent stops it on SIGTERM or SIGINT).
local here = arg and arg[0] and arg[0]:match("(.*/)") or "./"
package.path = here .. "?.lua;" .. here .. "../policy/?.lua;" .. package.path
local lacdc = require "lacdc"
local acpolicy = require "acpolicy"
local host = require "acagent.host"

local function log(fmt, ...)
  io.stderr:write(("acagent: worker %d: " .. fmt .. "\n"):format(worker, ...))
end

local function load_policy()
  local chunk, err = loadfile(host.policy())
  if not chunk then return nil, err end
  local ok, p = pcall(chunk)
  if not ok then return nil, p end
  if type(p) ~= "table" or type(p.decide) ~= "function" then
    return nil, host.policy() .. ": the policy must return a table with decide(ev, opts)"
  end
  return p
end

local policy = assert(load_policy())
local rules = require "driver_rules"
local generation = host.generation()
-- The engine blocks what the policy leaves unrecognized; in permissive mode
-- the driver allows it and logs what it would have denied.
local opts = {lockdown = 1, timeout = 250}
local h = assert(lacdc.open())
-- The rule program is the driver's, one for all workers: the first uploads it.
local function upload()
  if worker ~= 1 then return end
  local ok, err = pcall(rules.upload, h, policy)
  if not ok then log("rule program not uploaded: %s", tostring(err)) end
end
upload()
-- Until a worker has its handle, events are allowed at once (nothing could
-- answer them): this line tells an operator, and a script, that it has one.
log("ready")
local handled = 0
while true do
  if host.generation() ~= generation then
    generation = host.generation()
    local p, err = load_policy()
    if p then policy = p; upload(); log("policy reloaded") else log("policy not reloaded: %s", tostring(err)) end
  end
  local ev, code, msg = acpolicy.get(h, opts)
  if ev then
    local ok, reply = pcall(policy.decide, ev, opts)
    if not ok then
      log("policy error: %s", tostring(reply))  -- the deadline answers this event
    elseif reply then
      h:reply(ev, reply)
    end
    handled = handled + 1
  elseif lacdc.istimeout(code) then
    if host.stopping() then break end
    -- Idle: a policy may look at its sources again (idle() is optional).
    if policy.idle then
      local ok, err = pcall(policy.idle)
      if not ok then log("policy error: %s", tostring(err)) end
    end
  else
    if code ~= -3 then log("stopped: %s", tostring(msg)) end
    break
  end
end
h:close()
