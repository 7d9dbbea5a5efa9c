-- The sample policy in several workers over the simulated driver: verdicts the
-- policy gives reach the object cache and later events never reach Lua.
package.path = (os.getenv("ACSOURCE") or ".") .. "/examples/?.lua;" .. package.path
local t = require "testlib"
local d = require "drvlib"
local policy = require "policy"
local sim, lacdc, T = d.sim, d.lacdc, d.T

local function feed()
  local dir = d.workdir("policy")
  os.execute("cp /usr/bin/true " .. dir .. "/tool")
  local pid = t.spawn_sleep(30, dir)
  local before = lacdc.EventAbstractionStats()
  -- /usr/bin/true is approved by the policy and answered from the cache from
  -- then on; the unrecognized tool is allowed but always reported to Lua.
  for i = 1, 12 do
    local name = i % 2 == 1 and "/usr/bin/true" or dir .. "/tool"
    sim.push({type = T.execve_pre, id = i, pid = pid, fd = -100, name = name}, (i - 1) % (workers - 1) + 1)
    os.execute("sleep 0.05")
  end
  local replies = {}
  d.wait_until(function()
    for _, r in ipairs(sim.replies()) do replies[#replies + 1] = r end
    return #replies >= 12
  end, "twelve replies")
  os.execute("sleep 0.1")
  t.eq(#replies + #sim.replies(), 12, "exactly one reply per event")
  local seen = {}
  for _, r in ipairs(replies) do
    t.eq(r.reply, lacdc.REPLY_ALLOW, "event " .. r.id .. " allowed")
    t.eq(seen[r.id], nil, "one reply for event " .. r.id)
    seen[r.id] = true
  end
  local after = lacdc.EventAbstractionStats()
  t.eq(after.eagain_return - before.eagain_return, 5, "cached approvals answered in the fast path")
  t.eq(after.lua_return - before.lua_return, 7, "first approval and every unrecognized run reach Lua")
  t.eq(lacdc.IsCached("/usr/bin/true"), 1, "the policy's approval is cached")
  t.eq(lacdc.IsCached(dir .. "/tool"), 2, "the tool is unrecognized")
  t.kill(pid)
  os.execute("rm -rf " .. dir)
end

if worker == 1 then
  sim.reset()
  sim.setup{hook = true, driver = true, node = true}
  d.wait_until(function() return sim.status().handles == workers - 1 end, "handles")
  -- the policy workers stop only on shutdown: send it whatever happened
  local ok, err = pcall(feed)
  sim.shutdown()
  assert(ok, err)
else
  d.wait_until(function() return sim.status().node end, "node")
  local h = assert(lacdc.open(sim.exitchannel()))
  local _, why = policy.run(h, {timeout = 100, lockdown = 0})
  t.eq(why, "poll(): Shutting down (-2)", "stopped by shutdown")
  h:close()
end
