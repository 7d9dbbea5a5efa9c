-- DecryptRuleset on files made with the openssl command line and zlib: compressed, encrypted, both; refusals, damage.
local t, ac = require "testlib", require "ac"
local KEY, IV, K128 = ("0123456789abcdef"):rep(2), "fedcba9876543210", "0123456789ABCDEF"
local function cbc(extra)
  local o = {encalg = "aes-256-cbc", key = KEY, iv = IV}
  for k, v in pairs(extra or {}) do o[k] = v end
  return o
end
local ECB = {encalg = "aes-128-ecb", key = K128}
t.run_in_dir(function(dir)
  local function at(name) return dir .. "/" .. name end
  local function read(name) return assert(io.open(at(name), "rb")):read("*a") end
  -- Plain content: text and binary, several 4096-byte reads long.
  local parts = {}
  for i = 1, 1500 do parts[i] = ("rule %d allow /usr/bin/tool%d\0\255\n"):format(i, i % 37) end
  local plain = t.writefile(at("plain"), table.concat(parts)) and table.concat(parts)
  t.writefile(at("empty"), "")
  t.sh(("python3 -c 'import zlib,sys; sys.stdout.buffer.write(zlib.compress(sys.stdin.buffer.read(), 9))' <%s >%s")
       :format(at("plain"), at("plain.z")))
  for _, e in ipairs {{"aes-256-cbc", KEY, IV, "plain", "plain.cbc"}, {"aes-256-cbc", KEY, IV, "empty", "empty.cbc"},
                      {"aes-256-cbc", KEY, IV, "plain.z", "plain.z.cbc"},
                      {"aes-128-ecb", K128, nil, "plain", "plain.ecb"}} do
    t.sh(("openssl enc -%s -K %s %s -in %s -out %s"):format(e[1], t.hex(e[2]), e[3] and "-iv " .. t.hex(e[3]) or "",
         at(e[4]), at(e[5])))
  end
  -- Damaged copies.
  local z, zc = read("plain.z"), read("plain.z.cbc")
  t.writefile(at("trunc.z"), z:sub(1, #z - 10))
  t.writefile(at("corrupt.z"), z:sub(1, 200) .. string.char((z:byte(201) + 1) % 256) .. z:sub(202))
  t.writefile(at("trunc.cbc"), read("plain.cbc"):sub(1, -2))
  os.execute("mkdir " .. at("sub"))
  local function err(file, opts)
    local ok, e = pcall(ac.DecryptRuleset, at(file), opts)
    return ok and "no error" or tostring(e)
  end
  return {
    {"plain, compressed, encrypted, both", function()
      for i, c in ipairs {
        {"plain", {}}, {"plain", {encalg = "none", comp = "null"}}, {"plain", {encalg = "", comp = ""}}, {"empty", {}, ""},
        {"plain.z", {comp = "zlib"}}, {"plain.z", {comp = "z"}}, {"plain.cbc", cbc()}, {"plain.ecb", ECB},
        {"plain.ecb", {encalg = "AES-128-ECB", key = K128, iv = ""}}, {"plain.z.cbc", cbc{comp = "zlib"}}, {"empty.cbc", cbc(), ""},
      } do
        t.eq(ac.DecryptRuleset(at(c[1]), c[2]) == (c[3] or plain), true, "case " .. i .. ": " .. c[1])
      end
    end},
    {"refusals: the cipher, the key before the IV, then the compression; options and open errors", function()
      for _, c in ipairs {
        {"Unknown encryption cipher 'no-such-cipher'", "plain.cbc", {encalg = "no-such-cipher"}},
        {"Key length (16) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", cbc{key = K128}},
        {"Key length (13) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", cbc{key = 1234567890123}},
        {"IV length (8) does not match cipher 'aes-256-cbc' (16)", "plain.cbc", cbc{iv = "12345678"}},
        {"IV length (16) does not match cipher 'aes-128-ecb' (0)", "plain.ecb", {encalg = "aes-128-ecb", key = K128, iv = IV}},
        {"Key length (1) does not match cipher 'aes-256-cbc' (32)", "plain.cbc", cbc{key = "k", iv = "i"}},
        {"Unsupported compression: gzip", "plain.z.cbc", cbc{comp = "gzip"}},
        {"Unknown encryption cipher 'x'", "plain.z", {encalg = "x", comp = "gzip"}},
        {"Failed to open " .. at("missing"), "missing", {}}, {"Failed to open " .. at("sub"), "sub", {}},
      } do
        t.eq(err(c[2], c[3]), c[1], "message")
      end
      t.raise_all {{"Expected table of options", ac.DecryptRuleset, at("plain")}, {"bad argument #1", ac.DecryptRuleset, {}, {}}}
      os.execute(("head -c %d /dev/zero >%s && head -c %d /dev/zero >%s"):format(64 * 2^20, at("64M"), 64 * 2^20 + 1, at("64M+1")))
      t.eq(#ac.DecryptRuleset(at("64M"), {}) .. " " .. err("64M+1", {}), 64 * 2^20 .. " Failed to read ruleset: File too large (27)",
           "a rule set is at most 64 MiB")
    end},
    {"wrong key or IV, damaged input and failing reads fail with OpenSSL's text and code", function()
      for _, c in ipairs {
        {"plain.cbc", cbc{key = ("k"):rep(32)}, "bad decrypt"}, {"plain.z.cbc", cbc{iv = ("i"):rep(16), comp = "zlib"}},
        {"trunc.z", {comp = "zlib"}, "zlib inflate error"}, {"corrupt.z", {comp = "zlib"}},
        {"trunc.cbc", cbc(), "wrong final block length"}, {"plain", {comp = "zlib"}},
      } do
        local e = err(c[1], c[2])
        t.eq(e:match("^Failed to read ruleset: error:%x+:.+ %(%-?%d+%)$") ~= nil and e:find(c[3] or "", 1, true) ~= nil,
             true, c[1] .. ": " .. e)
      end
    end},
  }
end)
