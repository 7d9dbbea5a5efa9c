-- DecryptRuleset on files made with the openssl command line and zlib:
-- compressed, encrypted, both; every refusal and every damaged input.
local t = require "testlib"
local ac = require "ac"

local function sh(cmd)
  local ok = os.execute(cmd)
  assert(ok == true or ok == 0, "command failed: " .. cmd)
end
local function hexof(s) return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end)) end

local p = io.popen("mktemp -d")
local dir = p:read("*l")
p:close()
local function at(name) return dir .. "/" .. name end
local function write(name, data)
  local f = assert(io.open(at(name), "wb"))
  f:write(data)
  f:close()
end
local function read(name)
  local f = assert(io.open(at(name), "rb"))
  local s = f:read("*a")
  f:close()
  return s
end

-- Plain content: text and binary, several 4096-byte reads long.
local parts = {}
for i = 1, 1500 do parts[#parts + 1] = string.format("rule %d allow /usr/bin/tool%d\0\255\n", i, i % 37) end
local plain = table.concat(parts)
write("plain", plain)
write("empty", "")

local KEY = ("0123456789abcdef"):rep(2)          -- 32 bytes
local IV = "fedcba9876543210"                     -- 16 bytes
local K128 = "0123456789ABCDEF"
local function enc(cipher, key, iv, from, to)
  sh(string.format("openssl enc -%s -K %s %s -in '%s' -out '%s'", cipher, hexof(key),
    iv and ("-iv " .. hexof(iv)) or "", at(from), at(to)))
end
sh(string.format([[python3 -c 'import zlib,sys; sys.stdout.buffer.write(zlib.compress(sys.stdin.buffer.read(), 9))' <'%s' >'%s']],
  at("plain"), at("plain.z")))
enc("aes-256-cbc", KEY, IV, "plain", "plain.cbc")
enc("aes-256-cbc", KEY, IV, "plain.z", "plain.z.cbc")
enc("aes-128-ecb", K128, nil, "plain", "plain.ecb")
enc("aes-256-ctr", KEY, IV, "plain.z", "plain.z.ctr")
enc("aes-256-cbc", KEY, IV, "empty", "empty.cbc")

-- Damaged copies.
local z, zc = read("plain.z"), read("plain.z.cbc")
write("trunc.z", z:sub(1, #z - 10))
write("corrupt.z", z:sub(1, 200) .. string.char((z:byte(201) + 1) % 256) .. z:sub(202))
write("trunc.z.cbc", zc:sub(1, #zc - 5))
write("trunc16.z.cbc", zc:sub(1, #zc - 16))
write("corrupt.z.cbc", zc:sub(1, 100) .. string.char((zc:byte(101) + 1) % 256) .. zc:sub(102))
write("trunc.cbc", read("plain.cbc"):sub(1, -2))

local CBC = {encalg = "aes-256-cbc", key = KEY, iv = IV}
local function with(base, extra)
  local o = {}
  for k, v in pairs(base) do o[k] = v end
  for k, v in pairs(extra or {}) do o[k] = v end
  return o
end

-- The read failure message: OpenSSL's text and its code, nothing returned.
local function read_fails(file, opts, what)
  local ok, err = pcall(ac.DecryptRuleset, at(file), opts)
  t.eq(ok, false, what .. ": must fail")
  if not tostring(err):match("^Failed to read ruleset: error:%x+:.+ %(%-?%d+%)$") then
    error(what .. ": unexpected message " .. tostring(err), 2)
  end
  return err
end

-- A refusal raised as the bare text.
local function refused(text, file, opts)
  local ok, err = pcall(ac.DecryptRuleset, at(file), opts)
  t.eq(ok, false, text .. ": must fail")
  t.eq(err, text, "message")
end

local ok, err = pcall(t.run, {
  {"no decryption and no compression return the bytes unchanged", function()
    for _, o in ipairs {{}, {encalg = "none", comp = "null"}, {encalg = "null", comp = "none"},
                        {encalg = "", comp = ""}, {key = "ignored", iv = 5}} do
      t.eq(ac.DecryptRuleset(at("plain"), o) == plain, true, "plain content")
    end
    t.eq(ac.DecryptRuleset(at("empty"), {}), "", "empty file")
  end},

  {"compressed, encrypted, both", function()
    t.eq(ac.DecryptRuleset(at("plain.z"), {comp = "zlib"}) == plain, true, "zlib")
    t.eq(ac.DecryptRuleset(at("plain.z"), {comp = "z"}) == plain, true, "z")
    t.eq(ac.DecryptRuleset(at("plain.cbc"), CBC) == plain, true, "aes-256-cbc")
    t.eq(ac.DecryptRuleset(at("plain.ecb"), {encalg = "aes-128-ecb", key = K128}) == plain, true, "ecb without iv")
    t.eq(ac.DecryptRuleset(at("plain.ecb"), {encalg = "AES-128-ECB", key = K128, iv = ""}) == plain, true,
      "names are case-insensitive, empty iv")
    t.eq(ac.DecryptRuleset(at("plain.z.cbc"), with(CBC, {comp = "zlib"})) == plain, true, "cbc + zlib")
    t.eq(ac.DecryptRuleset(at("plain.z.ctr"), {encalg = "aes-256-ctr", key = KEY, iv = IV, comp = "z"}) == plain,
      true, "ctr + zlib")
    t.eq(ac.DecryptRuleset(at("empty.cbc"), CBC), "", "empty content encrypted")
  end},

  {"cipher refusals", function()
    refused("Unknown encryption cipher 'no-such-cipher'", "plain.cbc", {encalg = "no-such-cipher"})
    refused("Key length (16) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", with(CBC, {key = K128}))
    refused("Key length (0) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", with(CBC, {key = false}))
    refused("Key length (13) does not match cipher 'aes-256-cbc' (32)", "plain.cbc",
      with(CBC, {key = 1234567890123}))
    refused("IV length (8) does not match cipher 'aes-256-cbc' (16)", "plain.cbc", with(CBC, {iv = "12345678"}))
    refused("IV length (0) does not match cipher 'aes-256-cbc' (16)", "plain.cbc", with(CBC, {iv = false}))
    refused("IV length (16) does not match cipher 'aes-128-ecb' (0)", "plain.ecb",
      {encalg = "aes-128-ecb", key = K128, iv = IV})
    -- The key is checked before the IV.
    refused("Key length (1) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", with(CBC, {key = "k", iv = "i"}))
  end},

  {"compression refusals come after the cipher checks", function()
    refused("Unsupported compression: gzip", "plain.z", {comp = "gzip"})
    refused("Unsupported compression: gzip", "plain.z.cbc", with(CBC, {comp = "gzip"}))
    refused("Unsupported compression: ZLIB", "plain.z", {comp = "ZLIB"})
    refused("Unknown encryption cipher 'x'", "plain.z", {encalg = "x", comp = "gzip"})
  end},

  {"open and option errors carry no content", function()
    local ok, e = pcall(ac.DecryptRuleset, at("missing"), {})
    t.eq(ok, false, "missing file fails")
    t.eq(tostring(e):match("Failed to open (.*)$"), at("missing"), "message names the path")
    t.raises("Expected table of options", ac.DecryptRuleset, at("plain"))
    t.raises("Expected table of options", ac.DecryptRuleset, at("plain"), "comp=z")
    t.raises("bad argument #1", ac.DecryptRuleset, {}, {})
  end},

  {"wrong key or IV fails at the end of the read", function()
    read_fails("plain.cbc", with(CBC, {key = ("k"):rep(32)}), "wrong key")
    read_fails("plain.z.cbc", with(CBC, {key = ("k"):rep(32), comp = "zlib"}), "wrong key, compressed")
    -- A wrong IV only spoils the first block, which the zlib header notices.
    read_fails("plain.z.cbc", with(CBC, {iv = ("i"):rep(16), comp = "zlib"}), "wrong IV, compressed")
    local e = read_fails("plain.cbc", with(CBC, {key = ("k"):rep(32)}), "wrong key")
    t.eq(e:find("bad decrypt", 1, true) ~= nil, true, "OpenSSL's text: " .. e)
  end},

  {"truncated and corrupt input fails", function()
    local e = read_fails("trunc.z", {comp = "zlib"}, "truncated zlib stream")
    t.eq(e:find("zlib inflate error", 1, true) ~= nil, true, "zlib error text: " .. e)
    read_fails("corrupt.z", {comp = "zlib"}, "corrupt zlib stream")
    e = read_fails("trunc.cbc", CBC, "encrypted, cut inside a block")
    t.eq(e:find("wrong final block length", 1, true) ~= nil, true, "cipher error text: " .. e)
    read_fails("trunc.z.cbc", with(CBC, {comp = "zlib"}), "both, cut inside a block")
    read_fails("trunc16.z.cbc", with(CBC, {comp = "zlib"}), "both, one whole block missing")
    read_fails("corrupt.z.cbc", with(CBC, {comp = "zlib"}), "both, one byte changed")
    read_fails("plain", {comp = "zlib"}, "plain content read as zlib")
    read_fails("empty", {comp = "zlib"}, "empty file read as zlib")
  end},

  {"a read that keeps failing ends with the read error", function()
    sh("mkdir '" .. at("sub") .. "'")
    read_fails("sub", {}, "directory")
    read_fails("sub", {comp = "zlib"}, "directory through zlib")
    read_fails("sub", CBC, "directory through the cipher")
  end},
})
os.execute("rm -rf '" .. dir .. "'")
if not ok then error(err, 0) end
