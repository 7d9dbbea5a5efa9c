-- Demo: load the engine's modules the way the agent does and show what the
-- policy code gets to work with.
local here = arg and arg[0] and arg[0]:match("(.*/)") or "./"
package.path = here .. "../policy/?.lua;" .. package.path
local lacdc = require "lacdc"
local ac = require "ac"
local acpolicy = require "acpolicy"

-- Every value of a group with every name that reads it: full names and short
-- names (a short name two constants share reads only the later value).
local function group(name)
  local values, seen = {}, {}
  for _, v in pairs(acpolicy.groups[name]) do
    if not seen[v] then seen[v] = true; values[#values + 1] = v end
  end
  table.sort(values)
  local parts = {}
  for _, v in ipairs(values) do parts[#parts + 1] = v .. "=" .. table.concat(acpolicy.names(name, v), "/") end
  for i = 1, #parts, 4 do
    print(string.format("  %-20s %s", i == 1 and name or "", table.concat(parts, " ", i, math.min(i + 3, #parts))))
  end
end

local function show(v, indent)
  indent = indent or "    "
  if type(v) ~= "table" then return print(indent .. tostring(v)) end
  local keys = {}
  for k in pairs(v) do keys[#keys + 1] = k end
  table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
  for _, k in ipairs(keys) do
    if type(v[k]) == "table" then
      print(indent .. tostring(k) .. ":")
      show(v[k], indent .. "  ")
    else
      print(indent .. tostring(k) .. " = " .. tostring(v[k]))
    end
  end
end

print("constant groups of the driver-channel module:")
for _, name in ipairs {"reply", "action", "entity", "CreationDisposition", "type"} do group(name) end

print("module ac: ErrNotExec = " .. ac.ErrNotExec .. ", dc is the channel module: " ..
      tostring(ac.dc.EVENT_OPEN_PRE == lacdc.EVENT_OPEN_PRE))

local sample = '{"verdict":"allow","rules":[1,2,{"path":"/usr/bin/tool"}],"tag":"a\\tb","none":null}'
print("decode(" .. sample .. "):")
show(lacdc.decode(sample))
print("decode of a broken text gives nil, the position and the reason:")
print("    " .. table.concat({tostring(select(1, lacdc.decode("[1 2]"))),
                           select(2, lacdc.decode("[1 2]"))}, ", "))

-- A short scripted stream over the simulated driver: what get hands to Lua,
-- and what the fast path answered on its own.
local ok, sim = pcall(require, "vavasim")
if not ok then
  print("(simulated driver not preloaded: skipping the event stream)")
  return
end
sim.reset()
sim.setup{hook = true, driver = true, node = true}
local h = assert(lacdc.open())
print("\nopened " .. tostring(h))
local T = lacdc.type
-- A live process acts in the events, so the fast path resolves them from /proc.
local p = io.popen("sh -c 'echo $$; exec sleep 10' 2>/dev/null &")
local pid = tonumber(p:read("*l"))
p:close()
os.execute("sleep 0.1")
local stream = {
  {type = T.execve_pre, id = 101, pid = pid, fd = -100, name = "/usr/bin/true"},
  {type = T.open_pre, id = 102, pid = pid, fd = -100, name = "/etc/hosts"},
  {type = T.close_pre, id = 103, pid = pid, fd = 3},
  {type = T.close_post, id = 104, pid = pid, fd = 3},
  {type = 0, id = 105},
}
for _, ev in ipairs(stream) do sim.push(ev) end
print(string.format("pushed %d events; get hands to Lua:", #stream))
while true do
  local ev, code, msg = acpolicy.get(h, {timeout = 100})
  if not ev then print("  (" .. msg .. ")") break end
  print(string.format("  event id=%d type=%s realpath=%s process=%s cache_type=%s", ev.id, T[ev.type],
                      ev.realpath, ev.processName, tostring(ev.cache_type)))
  h:reply(ev, lacdc.REPLY_ALLOW)
end
print("replies the driver received (the policy answered what it was handed, the fast path the rest):")
for _, r in ipairs(sim.replies()) do
  print(string.format("  id=%d reply=%s", r.id, lacdc.reply[r.reply] or r.reply))
end
local stats = lacdc.EventAbstractionStats()
print(string.format("counters: total_events=%d event_not_handled=%d ac_error=%d",
                    stats.total_events, stats.event_not_handled, stats.ac_error))
h:close()
os.execute("kill " .. pid)
