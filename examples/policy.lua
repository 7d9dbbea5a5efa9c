-- A sample policy agent: what the fast path hands to Lua is decided here from
-- a small allow list, answered through the handle, and remembered in the
-- object cache so that the next event for the same file never reaches Lua.
local lacdc = require "lacdc"
local acpolicy = require "acpolicy"
local CACHE = acpolicy.cache

local policy = {}

-- Programs under these directories are approved; everything else executed is
-- unrecognized (allowed outside lockdown, blocked in lockdown).
policy.trusted_dirs = {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"}

local function trusted(path)
  for _, dir in ipairs(policy.trusted_dirs) do
    if path:sub(1, #dir) == dir then return true end
  end
  return false
end

-- Decides one event; returns the reply code to send (nil when the fast path
-- already answered) and a short text for the log.
function policy.decide(ev, opts)
  local T = lacdc.type
  if ev.type == T.execve_pre or ev.type == T.open_pre or ev.type == T.mmap_pre then
    if ev.bind_action then return nil, "answered by the fast path: " .. lacdc.reply[ev.bind_action] end
    if trusted(ev.realpath) then
      lacdc.AddToCache(ev.realpath, CACHE.approved)
      return lacdc.REPLY_ALLOW, "approved and cached"
    end
    lacdc.AddToCache(ev.realpath, CACHE.unrecognized)
    if opts.lockdown == 1 then return lacdc.REPLY_BLOCK, "unrecognized, blocked in lockdown" end
    return lacdc.REPLY_ALLOW, "unrecognized, allowed"
  end
  if ev.action_type == lacdc.TYPE_CREATE then
    -- New or changed content: forget any verdict so the next run is judged again.
    lacdc.RemoveFromCache(ev.realpath)
    return ev.bind_action == nil and lacdc.REPLY_ALLOW or nil,
           "new content (" .. (ev.operationType or "close") .. "), verdict forgotten"
  end
  return ev.bind_action == nil and lacdc.REPLY_ALLOW or nil, "no decision needed"
end

-- The worker loop: fetch, decide, answer, until the handle stops. `log` gets
-- one line per event handed to Lua. Returns the number of events handled.
function policy.run(h, opts, log)
  local handled = 0
  while true do
    local ev, code, msg = acpolicy.get(h, {timeout = opts.timeout, lockdown = opts.lockdown, basedir = opts.basedir})
    if ev then
      local reply, why = policy.decide(ev, opts)
      if reply then h:reply(ev, reply) end
      handled = handled + 1
      if log then log(ev, reply, why) end
    elseif not lacdc.istimeout(code) then
      return handled, msg
    end
  end
end

return policy
