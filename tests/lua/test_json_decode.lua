-- decode: JSON text to Lua values, and its four-result error form.
local lacdc = require "lacdc"
local decode = lacdc.decode

local function show(v)
  if type(v) == "string" then return string.format("%q", v) end
  return tostring(v)
end

-- Deep comparison; keys must match exactly on both sides.
local function same(a, b, path)
  path = path or "value"
  if type(a) ~= "table" or type(b) ~= "table" then
    assert(a == b, path .. ": got " .. show(a) .. ", want " .. show(b))
    return
  end
  for k, v in pairs(a) do
    assert(b[k] ~= nil, path .. ": unexpected key " .. show(k))
    same(v, b[k], path .. "[" .. show(k) .. "]")
  end
  for k in pairs(b) do
    assert(a[k] ~= nil, path .. ": missing key " .. show(k))
  end
end

local function decodes_to(text, want)
  local n = select("#", decode(text))
  assert(n == 1, show(text) .. ": " .. n .. " results, want 1")
  same(decode(text), want, show(text))
end

local function fails(text, message, s, e)
  local r = table.pack(decode(text))
  assert(r.n == 4, show(text) .. ": " .. r.n .. " results, want 4")
  assert(r[1] == nil, show(text) .. ": first result not nil")
  local want = s .. ":" .. e .. ":" .. message
  assert(r[2] == want, show(text) .. ": error " .. show(r[2]) .. ", want " .. show(want))
  assert(r[3] == s and r[4] == e,
         show(text) .. ": positions " .. show(r[3]) .. ", " .. show(r[4]))
end

-- Arrays: elements at 1.., nothing left at index 0 of any level.
do
  local t = decode("[1,[2,3],4]")
  same(t, {1, {2, 3}, 4})
  assert(rawget(t, 0) == nil and rawget(t[2], 0) == nil, "index 0 left behind")
  decodes_to("[1,{\"a\":[5,6]},7]", {1, {a = {5, 6}}, 7})
  decodes_to("[1,[2,[3,[4,[]]]],5]", {1, {2, {3, {4, {}}}}, 5})
  decodes_to("[[],[[]],[1,[]],2]", {{}, {{}}, {1, {}}, 2})
  decodes_to("{\"x\":[1,2,[3,4]],\"y\":[[],[[]]]}", {x = {1, 2, {3, 4}}, y = {{}, {{}}}})
  decodes_to("[null,2]", {[2] = 2})
  decodes_to("[1,null,null,4,null]", {[1] = 1, [4] = 4})
  local big = {}
  for i = 1, 1000 do big[i] = i end
  decodes_to("[" .. table.concat(big, ",") .. "]", big)
end

-- Objects: null members are absent, the last of a repeated name wins.
do
  decodes_to("{\"a\":null,\"b\":[]}", {b = {}})
  decodes_to("{}", {})
  decodes_to("{\"a\":1,\"a\":2}", {a = 2})
  decodes_to("{\"a\":1,\"a\":null}", {})
  decodes_to("{\"a\\tb\":{\"\":true}}", {["a\tb"] = {[""] = true}})
  decodes_to("{\"1\":false}", {["1"] = false})
end

-- Scalars at the top level.
do
  decodes_to("true", true)
  decodes_to("false", false)
  decodes_to("null", nil)
  decodes_to("\"x\"", "x")
  decodes_to("\"\"", "")
  decodes_to("7 garbage", 7)
  decodes_to("  [1]  ", {1})
end

-- Numbers go through Lua's own conversion; anything it refuses is 0.
do
  decodes_to("1.5e3", 1500)
  decodes_to("1.2.3", 0)
  decodes_to("1e+e", 0)
  decodes_to("-1-2", 0)
  decodes_to("-12", -12)
  decodes_to("-0.5", -0.5)
  decodes_to("1E2", 100)
  decodes_to("2e-1", 0.2)
  -- A number argument is decoded from its string form.
  decodes_to(5, 5)
  decodes_to(-0.25, -0.25)
  decodes_to(1e100, 1e100)
end

-- Strings: escapes decoded, other bytes passed through as they are.
do
  decodes_to("\"a\\tb\"", "a\tb")
  decodes_to("\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"", "\"/\\\b\f\n\r\t")
  decodes_to("\"h\195\169llo\"", "h\195\169llo")
  -- Longer than the Lua buffer's own space, so it has to grow.
  decodes_to("\"" .. string.rep("ab\\n", 3000) .. "\"", string.rep("ab\n", 3000))
  fails("\"\\u0041\"", "Unicode unsupported", 1, 9)
  fails("\"\\x\"", "Unsupported escape", 1, 5)
  fails("[1,\"\\q\"]", "Unsupported escape", 4, 8)
  fails("[\"" .. string.rep("x", 5000) .. "\\u00e9\"]", "Unicode unsupported", 2, 5010)
end

-- Error positions: start and end offsets of the refused token, 1-based.
do
  fails("[1 2]", "Expected ',' or ']'", 4, 5)
  fails("", "Expected a value", 1, 1)
  fails("  \n", "Expected a value", 1, 4)
  fails("[1,]", "Expected array value", 4, 5)
  fails("[,1]", "Expected value or ']'", 2, 3)
  fails("{1:2}", "Expected key or '}'", 2, 3)
  fails("{\"a\":1,}", "Expected key", 8, 9)
  fails("{\"a\" 1}", "Expected ':'", 6, 7)
  fails("{\"a\":]", "Expected object value", 6, 7)
  fails("{\"a\":1]", "Expected ',' or '}'", 7, 8)
  fails("[1", "Expected ',' or ']'", 2, 3)
  -- Scanner errors: the end is where the unreadable token begins.
  fails("[012]", "Leading zero", 1, 2)
  fails("-", "Negative without number", 1, 1)
  fails("nul", "Expected value", 1, 1)
  fails("[True]", "Expected value", 1, 2)
  fails("'x'", "Expected value", 1, 1)
  fails("{\"a\":\"abc", "Truncated string", 5, 6)
end

-- An embedded NUL ends the input.
do
  decodes_to("[1]\0garbage", {1})
  fails("\"ab\0cd\"", "Truncated string", 1, 1)
  fails("[1 \0]", "Expected ',' or ']'", 2, 4)
  fails("\0", "Expected a value", 1, 1)
end

-- 64 nested containers decode; a 65th is refused at the token after it.
do
  local function nest(n, inner)
    return string.rep("[", n) .. inner .. string.rep("]", n)
  end
  local t = decode(nest(64, ""))
  for level = 1, 63 do
    assert(type(t) == "table" and #t == 1, "level " .. level .. " is not a one-element array")
    t = t[1]
  end
  same(t, {})
  t = decode(nest(64, "7"))
  for _ = 1, 64 do t = t[1] end
  assert(t == 7, "innermost element lost")
  fails(nest(65, ""), "Max structure depth reached", 66, 67)
  fails(nest(65, "7"), "Max structure depth reached", 66, 67)

  local text = string.rep("{\"k\":[1,", 32) .. "2" .. string.rep("]}", 32)
  t = decode(text)
  for level = 1, 32 do
    assert(type(t) == "table" and type(t.k) == "table", "object level " .. level)
    assert(t.k[1] == 1 and rawget(t.k, 0) == nil, "array level " .. level)
    t = t.k[2]
  end
  assert(t == 2, "innermost member lost")
  fails(string.rep("{\"k\":", 65) .. "1" .. string.rep("}", 65),
        "Max structure depth reached", 322, 325)
end

-- Only a missing or non-string argument raises.
do
  for _, bad in ipairs({{}, true}) do
    local ok, err = pcall(decode, bad)
    assert(not ok and err:find("bad argument #1"), "decode(" .. type(bad) .. ") did not raise")
  end
  local ok, err = pcall(decode)
  assert(not ok and err:find("bad argument #1"), "decode() did not raise")
  assert(lacdc.decode == require("vava").decode, "vava.decode differs")
end

-- Failures leave the stack usable: many in a row, then a good decode.
do
  for i = 1, 2000 do
    local v, err = decode(string.rep("[", i % 70) .. "\"\\u\"")
    assert(v == nil and type(err) == "string", "round " .. i)
  end
  decodes_to("{\"ok\":[true]}", {ok = {true}})
end
