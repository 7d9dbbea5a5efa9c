-- DecryptRuleset on files made with the openssl command line and zlib:
-- compressed, encrypted, both; every refusal and every damaged input.
local t = require "testlib"
local ac = require "ac"

local KEY, IV, K128 = ("0123456789abcdef"):rep(2), "fedcba9876543210", "0123456789ABCDEF"
local CBC = {encalg = "aes-256-cbc", key = KEY, iv = IV}
local function with(base, extra)
  local o = {}
  for k, v in pairs(base) do o[k] = v end
  for k, v in pairs(extra or {}) do o[k] = v end
  return o
end

t.run_in_dir(function(dir)
  local function at(name) return dir .. "/" .. name end
  local function read(name) return assert(io.open(at(name), "rb")):read("*a") end
  -- Plain content: text and binary, several 4096-byte reads long.
  local parts = {}
  for i = 1, 1500 do parts[#parts + 1] = string.format("rule %d allow /usr/bin/tool%d\0\255\n", i, i % 37) end
  local plain = table.concat(parts)
  t.writefile(at("plain"), plain)
  t.writefile(at("empty"), "")
  t.sh(("python3 -c 'import zlib,sys; sys.stdout.buffer.write(zlib.compress(sys.stdin.buffer.read(), 9))' <%s >%s")
       :format(at("plain"), at("plain.z")))
  for _, e in ipairs {{"aes-256-cbc", KEY, IV, "plain", "plain.cbc"}, {"aes-256-cbc", KEY, IV, "empty", "empty.cbc"},
                      {"aes-256-cbc", KEY, IV, "plain.z", "plain.z.cbc"}, {"aes-256-ctr", KEY, IV, "plain.z", "z.ctr"},
                      {"aes-128-ecb", K128, nil, "plain", "plain.ecb"}} do
    t.sh(("openssl enc -%s -K %s %s -in %s -out %s"):format(e[1], t.hex(e[2]), e[3] and "-iv " .. t.hex(e[3]) or "",
         at(e[4]), at(e[5])))
  end
  -- Damaged copies.
  local z, zc = read("plain.z"), read("plain.z.cbc")
  local function flip(s, i) return s:sub(1, i - 1) .. string.char((s:byte(i) + 1) % 256) .. s:sub(i + 1) end
  t.writefile(at("trunc.z"), z:sub(1, #z - 10))
  t.writefile(at("corrupt.z"), flip(z, 201))
  t.writefile(at("trunc.z.cbc"), zc:sub(1, #zc - 5))
  t.writefile(at("trunc16.z.cbc"), zc:sub(1, #zc - 16))
  t.writefile(at("corrupt.z.cbc"), flip(zc, 101))
  t.writefile(at("trunc.cbc"), read("plain.cbc"):sub(1, -2))
  os.execute("mkdir " .. at("sub"))

  -- The error of a call that must fail.
  local function err(file, opts)
    local ok, e = pcall(ac.DecryptRuleset, at(file), opts)
    t.eq(ok, false, file .. ": must fail")
    return tostring(e)
  end

  return {
    {"plain, compressed, encrypted, both", function()
      for i, c in ipairs {
        {"plain", {}}, {"plain", {encalg = "none", comp = "null"}}, {"plain", {encalg = "null", comp = "none"}},
        {"plain", {encalg = "", comp = ""}}, {"plain", {key = "ignored", iv = 5}}, {"empty", {}, ""},
        {"plain.z", {comp = "zlib"}}, {"plain.z", {comp = "z"}}, {"plain.cbc", CBC},
        {"plain.ecb", {encalg = "aes-128-ecb", key = K128}},                 -- no iv
        {"plain.ecb", {encalg = "AES-128-ECB", key = K128, iv = ""}},        -- case-insensitive, empty iv
        {"plain.z.cbc", with(CBC, {comp = "zlib"})},
        {"z.ctr", {encalg = "aes-256-ctr", key = KEY, iv = IV, comp = "z"}},
        {"empty.cbc", CBC, ""},
      } do
        t.eq(ac.DecryptRuleset(at(c[1]), c[2]) == (c[3] or plain), true, "case " .. i .. ": " .. c[1])
      end
    end},

    {"refusals: the cipher, the key before the IV, then the compression", function()
      for _, c in ipairs {
        {"Unknown encryption cipher 'no-such-cipher'", "plain.cbc", {encalg = "no-such-cipher"}},
        {"Key length (16) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", with(CBC, {key = K128})},
        {"Key length (0) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", with(CBC, {key = false})},
        {"Key length (13) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", with(CBC, {key = 1234567890123})},
        {"IV length (8) does not match cipher 'aes-256-cbc' (16)", "plain.cbc", with(CBC, {iv = "12345678"})},
        {"IV length (0) does not match cipher 'aes-256-cbc' (16)", "plain.cbc", with(CBC, {iv = false})},
        {"IV length (16) does not match cipher 'aes-128-ecb' (0)", "plain.ecb",
         {encalg = "aes-128-ecb", key = K128, iv = IV}},
        {"Key length (1) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", with(CBC, {key = "k", iv = "i"})},
        {"Unsupported compression: gzip", "plain.z", {comp = "gzip"}},
        {"Unsupported compression: gzip", "plain.z.cbc", with(CBC, {comp = "gzip"})},
        {"Unsupported compression: ZLIB", "plain.z", {comp = "ZLIB"}},
        {"Unknown encryption cipher 'x'", "plain.z", {encalg = "x", comp = "gzip"}},
      } do
        t.eq(err(c[2], c[3]), c[1], "message")
      end
    end},

    {"open and option errors carry no content", function()
      t.eq(err("missing", {}):match("Failed to open (.*)$"), at("missing"), "message names the path")
      t.eq(err("sub", {}):match("Failed to open (.*)$"), at("sub"), "a directory is refused")
      t.raises("Expected table of options", ac.DecryptRuleset, at("plain"))
      t.raises("Expected table of options", ac.DecryptRuleset, at("plain"), "comp=z")
      t.raises("bad argument #1", ac.DecryptRuleset, {}, {})
    end},

    {"wrong key or IV, damaged input and failing reads fail with OpenSSL's text and code", function()
      local wrongkey = {key = ("k"):rep(32)}
      for _, c in ipairs {
        {"plain.cbc", with(CBC, wrongkey), "bad decrypt"},
        {"plain.z.cbc", with(CBC, with(wrongkey, {comp = "zlib"}))},
        {"plain.z.cbc", with(CBC, {iv = ("i"):rep(16), comp = "zlib"})},  -- spoils the zlib header only
        {"trunc.z", {comp = "zlib"}, "zlib inflate error"}, {"corrupt.z", {comp = "zlib"}},
        {"trunc.cbc", CBC, "wrong final block length"}, {"trunc.z.cbc", with(CBC, {comp = "zlib"})},
        {"trunc16.z.cbc", with(CBC, {comp = "zlib"})}, {"corrupt.z.cbc", with(CBC, {comp = "zlib"})},
        {"plain", {comp = "zlib"}}, {"empty", {comp = "zlib"}},
      } do
        local e = err(c[1], c[2])
        t.eq(e:match("^Failed to read ruleset: error:%x+:.+ %(%-?%d+%)$") ~= nil, true, c[1] .. ": " .. e)
        if c[3] then t.eq(e:find(c[3], 1, true) ~= nil, true, c[1] .. ": " .. e) end
      end
    end},
  }
end)
