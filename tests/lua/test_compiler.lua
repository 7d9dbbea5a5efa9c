-- The compiler table: images byte for byte, every limit and its message, pooling.
local t, c = require "testlib", require("lacdc").compiler
local function le32(v)
  v = v % 2^32
  return string.char(v % 256, math.floor(v / 256) % 256, math.floor(v / 65536) % 256, math.floor(v / 16777216))
end
local function words(...) local o = {} for i, w in ipairs {...} do o[i] = le32(w) end return table.concat(o) end
local function crc32(s)
  local v = 0xFFFFFFFF
  for i = 1, #s do
    v = bit32.bxor(v, s:byte(i))
    for _ = 1, 8 do v = bit32.band(v, 1) == 1 and bit32.bxor(bit32.rshift(v, 1), 0xEDB88320) or bit32.rshift(v, 1) end
  end
  return bit32.bnot(v)
end
-- An expected image: a cleared one with byte strings laid over it at given offsets.
local function image(patches)
  local s = '"program"' .. ("\0"):rep(27) .. le32(8) .. ("\0"):rep(9472 - 40)
  for _, p in ipairs(patches or {}) do s = s:sub(1, p[1]) .. p[2] .. s:sub(p[1] + #p[2] + 1) end
  return s
end
local CODE, LINKS, CONSTANTS, SUFFIXES, SIEVES = 5376, 5176, 48, 1072, 4144
-- Where two images first differ, for readable failures.
local function same(got, want, what)
  local i = 1
  while i <= #got and got:byte(i) == want:byte(i) do i = i + 1 end
  if got ~= want then error(("%s: lengths %d/%d, first difference at %d"):format(what, #got, #want, i - 1), 2) end
end
local function sieve(depth, ends, presence) return le32(depth) .. words(unpack(ends)) .. words(unpack(presence)) end
t.run {
  -- Must come first: no procedure has been opened in this process yet.
  {"instructions before any procedure are refused; clear, default and signing", function()
    c.clear()
    t.raise_all {{"Max instructions for procedure: 0", c.newcode, 1, 0, 0, false, 0},
                 {"Max instructions for procedure: 0", c.newjump, 0}, {"Max instructions for procedure: 0", c.newreturn, 1}}
    same(c.tostring(), image(), "nothing stored")
    t.eq(select("#", c.default()), 0, "default: no results")
    local unsigned = image{{32, le32(2)}, {CODE, words(1, 0x400)}}
    same(c.tostring(), unsigned, "default program")
    t.eq(select("#", c.sign()), 0, "sign: no results")
    local block = "\172" .. ("\0"):rep(10) .. le32(crc32(unsigned)) .. "\0"
    t.eq(c.guid(), block, "guid")
    same(c.tostring(), image{{16, block}, {32, le32(2)}, {CODE, words(1, 0x400)}, {9456, block}}, "signed image")
    local first = c.tostring()
    c.sign()  -- a second signature covers the first
    t.eq(c.guid(), "\172" .. ("\0"):rep(10) .. le32(crc32(first)) .. "\0", "re-signed guid")
  end},
  {"procedures, operations, jumps, returns and links; refusals store nothing", function()
    c.clear()
    t.eq(c.procedure(3), 0, "first header")
    c.newreturn(0)               -- i = 0 of 3: offset 2
    c.newjump(4095)
    c.newreturn(0)               -- i = 2 of 3: offset 0
    t.raises("Max instructions for procedure: 3", c.newjump, 0)
    t.eq(c.procedure(4), 4, "second header")
    c.newcode(0x7F, 1, 2, true, 3)
    c.newcode(5, 0x1FF, 0, 0, 0) -- operands unmasked; 0 is a true flag
    c.newreturn(5)               -- i = 2 of 4: offset 6
    c.newcode(1, 2, 3, nil, 4)
    c.link(require("lacdc").EVENT_EXECVE_PRE, 4)
    c.link(0, 0)
    c.link(49, 8)
    same(c.tostring(), image{{32, le32(9)}, {LINKS + 4 * 32, le32(4)}, {LINKS + 4 * 49, le32(8)},
                             {CODE, words(3, 0x200, 0xFFF00, 0, 4, 0x030201FF, 0x1FF85, 0x600, 0x04030201)}}, "program")
    c.clear()
    c.procedure(5)
    local before = c.tostring()
    t.raise_all {
      {"jump out of range: 4096", c.newjump, 4096}, {"jump out of range: -1", c.newjump, -1},
      {"invalid action: 6", c.newreturn, 6}, {"invalid action: -1", c.newreturn, -1},
      {"bad argument #1 to '?' (event unsupported)", c.link, 50, 0},
      {"bad argument #2 to '?' (event unsupported)", c.link, 0, 1},
      {"number expected", c.newcode, 1, 2, "x", true, 3}, {"number expected", c.procedure},
    }
    same(c.tostring(), before, "unchanged")
  end},
  {"constants, suffix lists and sieves are pooled", function()
    c.clear()
    t.eq(t.show(c.constant(7), c.constant(7), c.constant(2^32 + 7), c.constant(-1)), "8, 8, 8, 9", "slots from 8, low 32 bits")
    same(c.tostring(), image{{36, le32(10)}, {CONSTANTS + 32, words(7, 0xFFFFFFFF)}}, "two constants")
    for v = 100, 345 do c.constant(v) end
    local full = c.tostring()
    t.eq(t.show(c.constant(345), full:sub(37, 40) == le32(256), c.constant(7)), "255, true, 8", "last slot; pooled when full")
    t.raises("Max constants", c.constant, 1000)
    same(c.tostring(), full, "nothing stored")
    c.clear()
    local big = ("s"):rep(1024)
    t.eq(t.show(c.suffixlist("abc"), c.suffixlist("abc"), c.suffixlist("ab"), c.suffixlist("xyz"), c.suffixlist(big),
                c.suffixlist("")), "0, 0, 0, 1, 2, 0", "pooled by prefix")
    t.raise_all {{"Max suffix_lists", c.suffixlist, "new"}, {"Suffix list too large", c.suffixlist, big .. "s"}}
    local s1, s2 = c.psieve{"ab"}, c.ssieve{"ab"}
    t.eq(c.newsieve(s1) .. c.newsieve(s1) .. c.newsieve(s2), "001", "first, same, second sieve")
    t.raise_all {{"Max sieve", c.newsieve, c.psieve{"q"}}, {"Sieve too large", c.newsieve, ("\0"):rep(517)}}
    same(c.tostring(), image{{40, le32(3) .. le32(2)}, {SUFFIXES, "abc"}, {SUFFIXES + 1024, "xyz"},
                             {SUFFIXES + 2048, big}, {SIEVES, s1}, {SIEVES + 516, s2}}, "slots")
  end},
  {"sieve records", function()
    local full = 0xFFFFFFFF
    for _, r in ipairs {
      {c.psieve({"ab"}, 64), sieve(2, {full, 0xFFFFFFFB}, {2, 4}), "prefix ab"},
      {c.ssieve({"ab"}, 64), sieve(2, {full, 0xFFFFFFFD}, {4, 2}), "suffix ab"},
      {c.psieve{"a", "ab"}, sieve(1, {0xFFFFFFFD}, {2}), "shorter first stops the longer"},
      {c.psieve{"A"}, c.psieve{"a"}, "case shares a class"}, {c.psieve{""}, le32(0), "empty pattern"},
      {c.ssieve({"xabc"}, 3), sieve(3, {full, full, 0xFFFFFFFD}, {8, 4, 2}), "suffix cut at the depth"},
      {c.psieve{7, "a", {}, true}, c.psieve{"a"}, "non-strings add nothing"},
    } do
      t.eq(t.hex(r[1]), t.hex(r[2]), r[3])
    end
    -- A full record, then a short one in the same stack space: its depth comes from its own presence masks only.
    t.eq(#c.psieve({("z"):rep(70)}, 0) .. #c.psieve({"a"}, 2) .. #c.psieve({("z"):rep(70)}, 65), "51612516",
         "depth 0 or above 64 means 64")
    t.raises("bad argument #1 to '?' (Expected table)", c.psieve, "ab")
  end},
  {"dump writes the image to standard output", function()
    c.clear()
    same(t.sh(arg[-1] .. " -e 'local c = require(\"lacdc\").compiler c.clear() c.dump()'"), c.tostring(), "dump")
  end},
}
