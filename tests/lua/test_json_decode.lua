-- decode: JSON text to Lua values, and its four-result error form. Every
-- parser message and position is in json_parser_test.cpp; here positions are
-- 1-based.
local t = require "testlib"
local lacdc = require "lacdc"
local decode = lacdc.decode

-- Deep comparison; keys must match exactly on both sides.
local function same(a, b, path)
  if type(a) ~= "table" or type(b) ~= "table" then return t.eq(a, b, path) end
  for k, v in pairs(a) do
    t.eq(b[k] ~= nil, true, path .. ": unexpected key " .. t.show(k))
    same(v, b[k], path .. "[" .. t.show(k) .. "]")
  end
  for k in pairs(b) do t.eq(a[k] ~= nil, true, path .. ": missing key " .. t.show(k)) end
end

local function decodes_to(text, want)
  t.eq(select("#", decode(text)), 1, t.show(text) .. ": results")
  same(decode(text), want, t.show(text))
end

local function fails(text, message, s, e)
  t.eq(t.show(decode(text)), t.show(nil, s .. ":" .. e .. ":" .. message, s, e), t.show(text))
end

local function nest(n, inner) return string.rep("[", n) .. inner .. string.rep("]", n) end

t.run {
  {"values: null elements and members are absent, the last repeated name wins", function()
    local big = {}
    for i = 1, 1000 do big[i] = i end
    for _, c in ipairs {
      {"[1,{\"a\":[5,6]},7]", {1, {a = {5, 6}}, 7}}, {"[1,[2,[3,[4,[]]]],5]", {1, {2, {3, {4, {}}}}, 5}},
      {"[[],[[]],[1,[]],2]", {{}, {{}}, {1, {}}, 2}},
      {"{\"x\":[1,2,[3,4]],\"y\":[[],[[]]]}", {x = {1, 2, {3, 4}}, y = {{}, {{}}}}},
      {"[null,2]", {[2] = 2}}, {"[1,null,null,4,null]", {[1] = 1, [4] = 4}},
      {"[" .. table.concat(big, ",") .. "]", big},
      {"{\"a\":null,\"b\":[]}", {b = {}}}, {"{}", {}}, {"{\"a\":1,\"a\":2}", {a = 2}}, {"{\"a\":1,\"a\":null}", {}},
      {"{\"a\\tb\":{\"\":true}}", {["a\tb"] = {[""] = true}}}, {"{\"1\":false}", {["1"] = false}},
      {"true", true}, {"false", false}, {"null", nil}, {"\"x\"", "x"}, {"\"\"", ""}, {"7 garbage", 7},
      {"  [1]  ", {1}}, {"[1]\0garbage", {1}},  -- an embedded NUL ends the input
      -- Numbers go through Lua's own conversion; anything it refuses is 0.
      {"1.5e3", 1500}, {"1.2.3", 0}, {"1e+e", 0}, {"-1-2", 0}, {"-12", -12}, {"-0.5", -0.5}, {"1E2", 100},
      {"2e-1", 0.2}, {5, 5}, {-0.25, -0.25}, {1e100, 1e100},  -- a number argument is decoded from its text
      -- Escapes decoded, other bytes passed through; longer than the Lua buffer's own space.
      {"\"a\\tb\"", "a\tb"}, {"\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"", "\"/\\\b\f\n\r\t"},
      {"\"h\195\169llo\"", "h\195\169llo"},
      {"\"" .. string.rep("ab\\n", 3000) .. "\"", string.rep("ab\n", 3000)},
    } do
      decodes_to(c[1], c[2])
    end
    local v = decode("[1,[2,3],4]")
    t.eq(rawget(v, 0) == nil and rawget(v[2], 0) == nil, true, "nothing left at index 0")
  end},

  {"failures: nil, the message with its positions, start, end", function()
    fails("\"\\u0041\"", "Unicode unsupported", 1, 9)
    fails("[\"" .. string.rep("x", 5000) .. "\\u00e9\"]", "Unicode unsupported", 2, 5010)
    fails("\"\\x\"", "Unsupported escape", 1, 5)
    fails("[1,\"\\q\"]", "Unsupported escape", 4, 8)
    fails("[1 2]", "Expected ',' or ']'", 4, 5)
    fails("{\"a\" 1}", "Expected ':'", 6, 7)
    fails("  \n", "Expected a value", 1, 4)
    fails("[012]", "Leading zero", 1, 2)  -- scanner errors end where the unreadable token begins
    fails("{\"a\":\"abc", "Truncated string", 5, 6)
    fails("\"ab\0cd\"", "Truncated string", 1, 1)  -- an embedded NUL ends the input
    fails("[1 \0]", "Expected ',' or ']'", 2, 4)
    fails("\0", "Expected a value", 1, 1)
  end},

  {"64 nested containers decode; a 65th is refused at the token after it", function()
    local v = decode(nest(64, "7"))
    for _ = 1, 64 do v = v[1] end
    t.eq(v, 7, "innermost element")
    fails(nest(65, ""), "Max structure depth reached", 66, 67)
    v = decode(string.rep("{\"k\":[1,", 32) .. "2" .. string.rep("]}", 32))
    for level = 1, 32 do
      t.eq(v.k[1] == 1 and rawget(v.k, 0) == nil, true, "level " .. level)
      v = v.k[2]
    end
    t.eq(v, 2, "innermost member")
    fails(string.rep("{\"k\":", 65) .. "1" .. string.rep("}", 65), "Max structure depth reached", 322, 325)
  end},

  {"only a missing or non-string argument raises; failures leave the stack usable", function()
    for _, bad in ipairs {{}, true} do t.raises("bad argument #1", decode, bad) end
    t.raises("bad argument #1", decode)
    t.eq(lacdc.decode, require("vava").decode, "vava.decode is the same function")
    for i = 1, 2000 do
      local v, err = decode(string.rep("[", i % 70) .. "\"\\u\"")
      assert(v == nil and type(err) == "string", "round " .. i)
    end
    decodes_to("{\"ok\":[true]}", {ok = {true}})
  end},
}
