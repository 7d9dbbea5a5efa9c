-- Demo: load the engine's modules the way the agent does and show what the
-- policy code gets to work with.
local lacdc = require "lacdc"
local ac = require "ac"

local function group(name, t)
  local keys = {}
  for k, v in pairs(t) do if type(k) == "number" then keys[#keys + 1] = k end end
  table.sort(keys)
  local parts = {}
  for _, k in ipairs(keys) do parts[#parts + 1] = k .. "=" .. t[k] end
  print(string.format("  %-20s %s", name, table.concat(parts, " ")))
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
group("reply", lacdc.reply)
group("action", lacdc.action)
group("entity", lacdc.entity)
group("CreationDisposition", lacdc.CreationDisposition)
group("type", lacdc.type)

print("module ac: ErrNotExec = " .. ac.ErrNotExec .. ", dc is the channel module: " ..
      tostring(ac.dc.EVENT_OPEN_PRE == lacdc.EVENT_OPEN_PRE))

local sample = '{"verdict":"allow","rules":[1,2,{"path":"/usr/bin/tool"}],"tag":"a\\tb","none":null}'
print("decode(" .. sample .. "):")
show(lacdc.decode(sample))
print("decode of a broken text gives nil, the position and the reason:")
print("    " .. table.concat({tostring(select(1, lacdc.decode("[1 2]"))),
                           select(2, lacdc.decode("[1 2]"))}, ", "))
