-- Helpers for policy code over the engine's modules: names for the numbers the
-- engine takes bare, h:get with named options, the constant groups and the
-- names of a value, and a one-line rendering of an event for logs.
local lacdc = require "lacdc"

local M = {}

-- Object cache types: what AddToCache stores and IsCached returns.
M.cache = {none = 0, approved = 1, unrecognized = 2, block = 3}

-- The options of h:get in their positional order, and their defaults.
M.get_options = {"timeout", "ac_on", "lockdown", "logMode", "basedir", "maintenanceMode", "startTime"}
M.defaults = {timeout = 1000, ac_on = 1, lockdown = 0, logMode = 0, basedir = "", maintenanceMode = 0,
              startTime = 0}

-- h:get with the options by name. Absent options take M.defaults; true and
-- false stand for 1 and 0; timeout -1 waits without limit. A misspelt option
-- raises rather than silently taking its default.
function M.get(h, options)
  options = options or {}
  for k in pairs(options) do
    if M.defaults[k] == nil then error(("unknown get option '%s'"):format(tostring(k)), 2) end
  end
  local args = {}
  for i, k in ipairs(M.get_options) do
    local v = options[k]
    if v == nil then v = M.defaults[k] end
    if v == true then v = 1 elseif v == false then v = 0 end
    args[i] = v
  end
  return h:get(unpack(args, 1, #M.get_options))
end

-- The short name the engine derives from a constant's name: the part after the
-- first underscore, in lower case.
local function short(name)
  return (name:match("^[^_]*_(.*)$") or name):lower()
end

-- The constant groups by name, each a table of the module's full names to
-- values. A module constant belongs to the group that maps its value back to
-- its short name.
M.groups = {}
for _, g in ipairs {"reply", "action", "type", "entity", "CreationDisposition"} do
  local group = {}
  for name, value in pairs(lacdc) do
    if type(name) == "string" and type(value) == "number" and lacdc[g][value] == short(name) then
      group[name] = value
    end
  end
  M.groups[g] = group
end
M.groups.event = M.groups.type

-- Every name that gives `value` in the group: its full names and the short
-- names of the group table that read it (two constants may derive one short
-- name, which then reads only the later one). Sorted; empty when none.
function M.names(group, value)
  local full = M.groups[group]
  if not full then error(("unknown constant group '%s'"):format(tostring(group)), 2) end
  local out = {}
  for name, v in pairs(full) do if v == value then out[#out + 1] = name end end
  for name, v in pairs(lacdc[group]) do
    if type(name) == "string" and v == value then out[#out + 1] = name end
  end
  table.sort(out)
  return out
end

-- A string as a quoted literal on one line: quotes, backslashes and control
-- characters escaped (file names may hold any byte but NUL and "/").
local ESCAPES = {["\n"] = "\\n", ["\r"] = "\\r", ["\t"] = "\\t", ['"'] = '\\"', ["\\"] = "\\\\"}
function M.quote(s)
  return '"' .. s:gsub('[%c"\\]', function(c) return ESCAPES[c] or ("\\x%02x"):format(c:byte()) end) .. '"'
end

-- Names shown after the number of these fields.
local NAMED = {type = lacdc.type, bind_action = lacdc.reply}

-- The event's fields as one line "key=value ...", keys sorted; strings quoted.
function M.describe(ev)
  local keys = {}
  for k in pairs(ev) do keys[#keys + 1] = k end
  table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
  local parts = {}
  for i, k in ipairs(keys) do
    local v = ev[k]
    local text = type(v) == "string" and M.quote(v) or tostring(v)
    if NAMED[k] and NAMED[k][v] then text = text .. "(" .. NAMED[k][v] .. ")" end
    parts[i] = tostring(k) .. "=" .. text
  end
  return table.concat(parts, " ")
end

return M
