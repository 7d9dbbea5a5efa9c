-- File hashing against the command line digest tools, on real files of
-- every awkward kind.
local t = require "testlib"
local ac = require "ac"

local ELOOP, EISDIR, ENOENT = 40, 21, 2

local function sh(cmd)
  local p = io.popen(cmd)
  local out = p:read("*a")
  p:close()
  return out
end

local function hex(s)
  return s and (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

local function tool(name, path) return sh(name .. " '" .. path .. "'"):match("^(%x+)") end

local dir = sh("mktemp -d"):match("^(%S+)")
local function at(name) return dir .. "/" .. name end
local function write(name, data)
  local f = assert(io.open(at(name), "wb"))
  f:write(data)
  f:close()
  return at(name)
end

-- 3 * 64 KiB + 17 bytes of every byte value, so chunks end mid-pattern.
local parts = {}
for i = 0, 3 * 65536 + 16 do parts[#parts + 1] = string.char((i * 7 + math.floor(i / 251)) % 256) end
local big = write("big.bin", table.concat(parts))
local small = write("small.txt", "abc\0def\n")
local empty = write("empty", "")
os.execute(string.format("mkfifo '%s' && ln -s big.bin '%s' && mkdir '%s' && ln -s sub '%s' && cp '%s' '%s'",
  at("fifo"), at("link"), at("sub"), at("sublink"), small, at("sub/copy")))

local ok, err = pcall(t.run, {
  {"digests match the command line tools", function()
    for _, path in ipairs {big, small, empty} do
      local size = #assert(io.open(path, "rb")):read("*a")
      local r = t.pack(ac.HashAll(path))
      t.eq(r.n, 5, "HashAll results")
      t.eq(r[1], nil, "HashAll success")
      t.eq(hex(r[2]), tool("md5sum", path), "md5 " .. path)
      t.eq(hex(r[3]), tool("sha1sum", path), "sha1 " .. path)
      t.eq(hex(r[4]), tool("sha256sum", path), "sha256 " .. path)
      t.eq(r[5], size, "count " .. path)

      r = t.pack(ac.HashPrimary(path))
      t.eq(r.n, 3, "HashPrimary results")
      t.eq(r[1], nil, "HashPrimary success")
      t.eq(hex(r[2]), tool("sha256sum", path), "primary " .. path)
      t.eq(r[3], size, "primary count")

      r = t.pack(ac.HashSecondary(path))
      t.eq(r.n, 4, "HashSecondary results")
      t.eq(r[1], nil, "HashSecondary success")
      t.eq(hex(r[2]), tool("md5sum", path), "secondary md5")
      t.eq(hex(r[3]), tool("sha1sum", path), "secondary sha1")
      t.eq(r[4], size, "secondary count")

      r = t.pack(ac.HashNull(path))
      t.eq(r.n, 1, "HashNull results")
      t.eq(r[1], nil, "HashNull success")
    end
    t.eq(hex(select(2, ac.HashPrimary(empty))),
      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "empty input")
  end},

  {"a FIFO without a writer reads as empty and does not block", function()
    local r = t.pack(ac.HashPrimary(at("fifo")))
    t.eq(r[1], nil, "success")
    t.eq(hex(r[2]), tool("sha256sum", empty), "digest of empty input")
    t.eq(r[3], 0, "count")
    t.eq(ac.HashNull(at("fifo")), nil, "HashNull")
  end},

  {"failures give the error number and no digests", function()
    local cases = {
      {at("link"), ELOOP, "final symbolic link"},
      {at("sub"), EISDIR, "directory"},
      {at("missing"), ENOENT, "missing file"},
    }
    for _, c in ipairs(cases) do
      local r = t.pack(ac.HashAll(c[1]))
      t.eq(r.n, 5, c[3] .. ": results")
      t.eq(r[1], c[2], c[3] .. ": error number")
      for i = 2, 4 do t.eq(r[i], nil, c[3] .. ": digest " .. i) end
      t.eq(r[5], 0, c[3] .. ": count")
      r = t.pack(ac.HashPrimary(c[1]))
      t.eq(r.n .. " " .. r[1] .. " " .. tostring(r[2]) .. " " .. r[3], "3 " .. c[2] .. " nil 0", c[3])
      r = t.pack(ac.HashSecondary(c[1]))
      t.eq(r.n .. " " .. r[1] .. " " .. tostring(r[2]) .. " " .. tostring(r[3]) .. " " .. r[4],
        "4 " .. c[2] .. " nil nil 0", c[3])
      t.eq(ac.HashNull(c[1]), c[2], c[3] .. ": HashNull")
    end
    local r = t.pack(ac.HashPrimary(at("sublink/copy")))
    t.eq(hex(r[2]), tool("sha256sum", small), "links before the final component are followed")
  end},

  {"HashString hashes the full length", function()
    t.eq(hex(ac.HashString("abc")),
      "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "abc")
    t.eq(hex(ac.HashString("abc\0def\n")), tool("sha256sum", small), "embedded zero byte")
    t.eq(hex(ac.HashString("")), tool("sha256sum", empty), "empty")
    t.eq(ac.HashString(12), ac.HashString("12"), "numbers are converted")
  end},

  {"argument errors", function()
    for _, fn in ipairs {ac.HashAll, ac.HashPrimary, ac.HashSecondary, ac.HashNull, ac.HashString} do
      t.raises("bad argument #1", fn, {})
      t.raises("string expected", fn)
    end
  end},
})
os.execute("rm -rf '" .. dir .. "'")
if not ok then error(err, 0) end
