-- JSON text for the decision log: strings escaped so that no file name can
-- break a line or the format. File names are bytes: a name that is not valid
-- UTF-8 is written with U+FFFD for each bad byte, and its exact bytes in hex
-- beside it (see M.name).
local M = {}

local SHORT = {['"'] = '\\"', ["\\"] = "\\\\", ["\b"] = "\\b", ["\f"] = "\\f", ["\n"] = "\\n",
               ["\r"] = "\\r", ["\t"] = "\\t"}

local function escape_byte(c)
  return SHORT[c] or ("\\u%04x"):format(c:byte())
end

-- The length of the valid UTF-8 sequence at byte i of s, or nil.
local function sequence(s, i)
  local c = s:byte(i)
  local n, lo, hi = 0, 0x80, 0xBF
  if c < 0x80 then return 1
  elseif c >= 0xC2 and c <= 0xDF then n = 1
  elseif c >= 0xE0 and c <= 0xEF then n = 2
    if c == 0xE0 then lo = 0xA0 elseif c == 0xED then hi = 0x9F end  -- no overlongs, no surrogates
  elseif c >= 0xF0 and c <= 0xF4 then n = 3
    if c == 0xF0 then lo = 0x90 elseif c == 0xF4 then hi = 0x8F end
  else return nil end
  for k = 1, n do
    local b = s:byte(i + k)
    if not b or b < (k == 1 and lo or 0x80) or b > (k == 1 and hi or 0xBF) then return nil end
  end
  return n + 1
end

-- s as a JSON string literal; the second result is false when s was not
-- valid UTF-8 (its bad bytes became U+FFFD).
function M.string(s)
  if not s:find('[%z\1-\31"\\\127-\255]') then return '"' .. s .. '"', true end
  local out, valid, i = {}, true, 1
  while i <= #s do
    local n = sequence(s, i)
    if not n then
      out[#out + 1] = "\\ufffd"; valid = false; i = i + 1
    else
      local piece = s:sub(i, i + n - 1)
      out[#out + 1] = n == 1 and piece:gsub('[%z\1-\31"\\\127]', escape_byte) or piece
      i = i + n
    end
  end
  return '"' .. table.concat(out) .. '"', valid
end

function M.hex(s)
  return (s:gsub(".", function(c) return ("%02x"):format(c:byte()) end))
end

-- One JSON object on one line from an array of {key, value} pairs (values:
-- strings, numbers, booleans; nil values are left out). A string field whose
-- value is not valid UTF-8 is followed by KEY_hex with its exact bytes.
function M.object(fields)
  local parts = {}
  for _, f in ipairs(fields) do
    local k, v = f[1], f[2]
    if type(v) == "string" then
      local text, valid = M.string(v)
      parts[#parts + 1] = '"' .. k .. '":' .. text
      if not valid then parts[#parts + 1] = '"' .. k .. '_hex":"' .. M.hex(v) .. '"' end
    elseif type(v) == "number" then
      parts[#parts + 1] = '"' .. k .. '":' .. (v == math.floor(v) and ("%d"):format(v) or ("%.17g"):format(v))
    elseif v ~= nil then
      parts[#parts + 1] = '"' .. k .. '":' .. tostring(v)
    end
  end
  return "{" .. table.concat(parts, ",") .. "}"
end

return M
