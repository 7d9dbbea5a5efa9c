-- decode: JSON text to Lua values, and its four-result error form (1-based
-- positions; every parser message and position: json_parser_test.cpp).
local t, decode = require "testlib", require("lacdc").decode
-- Deep comparison; keys must match exactly on both sides.
local function same(a, b, path)
  if type(a) ~= "table" or type(b) ~= "table" then return t.eq(a, b, path) end
  for k, v in pairs(a) do same(v, b[k], path .. "[" .. t.show(k) .. "]") end
  for k in pairs(b) do t.eq(a[k] ~= nil, true, path .. ": missing key " .. t.show(k)) end
end
t.run {
  {"values: null elements and members are absent, the last repeated name wins", function()
    local big = {}
    for i = 1, 1000 do big[i] = i end
    for _, c in ipairs {
      {"[1,{\"a\":[5,6]},7]", {1, {a = {5, 6}}, 7}}, {"[1,null,null,4,null]", {[1] = 1, [4] = 4}},
      {"[" .. table.concat(big, ",") .. "]", big}, {"{\"a\":null,\"b\":[]}", {b = {}}}, {"{\"a\":1,\"a\":2}", {a = 2}},
      {"{\"a\":1,\"a\":null}", {}}, {"{\"a\\tb\":{\"1\":true}}", {["a\tb"] = {["1"] = true}}}, {"false", false},
      {"null", nil}, {"7 garbage", 7}, {"[1]\0garbage", {1}},  -- an embedded NUL ends the input
      -- Numbers go through Lua's own conversion; anything it refuses is 0.
      {"1.5e3", 1500}, {"1.2.3", 0}, {"-0.5", -0.5}, {5, 5}, {1e100, 1e100},
      -- Escapes decoded, other bytes passed through; longer than the Lua buffer's own space.
      {"\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"", "\"/\\\b\f\n\r\t"}, {"\"" .. ("h\195\169\\n"):rep(3000) .. "\"", ("h\195\169\n"):rep(3000)},
    } do
      t.eq(select("#", decode(c[1])), 1, t.show(c[1]) .. ": results")
      same(decode(c[1]), c[2], t.show(c[1]))
    end
    local v = decode(("["):rep(64) .. "7" .. ("]"):rep(64))
    for _ = 1, 64 do v = v[1] end
    t.eq(v, 7, "64 nested containers")
  end},
  {"failures: nil, the message with its positions, start, end; only a non-string argument raises", function()
    for _, c in ipairs {
      {"[\"" .. ("x"):rep(5000) .. "\\u00e9\"]", "Unicode unsupported", 2, 5010}, {"[1,\"\\q\"]", "Unsupported escape", 4, 8},
      {"{\"a\" 1}", "Expected ':'", 6, 7}, {"  \n", "Expected a value", 1, 4}, {"[012]", "Leading zero", 1, 2},
      {"\"ab\0cd\"", "Truncated string", 1, 1}, {("["):rep(65) .. ("]"):rep(65), "Max structure depth reached", 66, 67},
      {("{\"k\":"):rep(65) .. "1" .. ("}"):rep(65), "Max structure depth reached", 322, 325},
    } do
      t.eq(t.show(decode(c[1])), t.show(nil, c[3] .. ":" .. c[4] .. ":" .. c[2], c[3], c[4]), t.show(c[1]))
    end
    t.raise_all {{"bad argument #1", decode, {}}, {"bad argument #1", decode}}
    for i = 1, 2000 do assert(select(4, decode(("["):rep(i % 70) .. "\"\\u\"")), "round " .. i) end  -- the stack stays usable
    same(decode("{\"ok\":[true]}"), {ok = {true}}, "after the failures")
  end},
}
