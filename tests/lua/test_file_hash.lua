-- File hashing against the command line digest tools, on real files of
-- every awkward kind.
local t = require "testlib"
local ac = require "ac"

local ELOOP, EISDIR, ENOENT = 40, 21, 2
-- Each function and the tools whose digests it returns, in order.
local FNS = {{"HashAll", "md5sum", "sha1sum", "sha256sum"}, {"HashPrimary", "sha256sum"},
             {"HashSecondary", "md5sum", "sha1sum"}, {"HashNull"}}

local function tool(name, path) return t.sh(name .. " '" .. path .. "'"):match("^(%x+)") end

-- Results as text, digests in hex: error number (nil on success), digests, byte count (none for HashNull).
local function got(fn, path)
  local r = t.pack(ac[fn](path))
  for i = 1, r.n do if type(r[i]) == "string" then r[i] = t.hex(r[i]) end end
  return t.show(unpack(r, 1, r.n))
end
local function want(f, path, err, size)
  local r = {n = #f, err}
  for i = 2, #f do r[i] = not err and tool(f[i], path) or nil end
  if f[1] ~= "HashNull" then r.n = r.n + 1; r[r.n] = err and 0 or size end
  return t.show(unpack(r, 1, r.n))
end

t.run_in_dir(function(dir)
  local function at(name) return dir .. "/" .. name end
  -- 3 * 64 KiB + 17 bytes of every byte value, so chunks end mid-pattern.
  local parts = {}
  for i = 0, 3 * 65536 + 16 do parts[#parts + 1] = string.char((i * 7 + math.floor(i / 251)) % 256) end
  local files = {[t.writefile(at("big.bin"), table.concat(parts))] = #parts,
                 [t.writefile(at("small.txt"), "abc\0def\n")] = 8, [t.writefile(at("empty"), "")] = 0}
  os.execute(("cd '%s' && mkfifo fifo && ln -s big.bin link && mkdir sub && ln -s sub sublink && cp small.txt sub/copy")
             :format(dir))
  return {
    {"digests match the command line tools; a FIFO without a writer reads as empty", function()
      for path, size in pairs(files) do
        for _, f in ipairs(FNS) do t.eq(got(f[1], path), want(f, path, nil, size), f[1] .. " " .. path) end
      end
      t.eq(got("HashPrimary", at("fifo")), want(FNS[2], at("empty"), nil, 0), "fifo")
      t.eq(got("HashNull", at("fifo")), "nil", "fifo, HashNull")
      t.eq(got("HashPrimary", at("sublink/copy")), want(FNS[2], at("small.txt"), nil, 8),
           "links before the final component are followed")
      t.eq(t.hex(select(2, ac.HashPrimary(at("empty")))),
           "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "empty input")
    end},

    {"failures give the error number and no digests", function()
      for name, err in pairs {link = ELOOP, sub = EISDIR, missing = ENOENT} do
        for _, f in ipairs(FNS) do t.eq(got(f[1], at(name)), want(f, nil, err), f[1] .. " " .. name) end
      end
    end},

    {"HashString hashes the full length", function()
      t.eq(t.hex(ac.HashString("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "abc")
      t.eq(t.hex(ac.HashString("abc\0def\n")), tool("sha256sum", at("small.txt")), "embedded zero byte")
      t.eq(t.hex(ac.HashString("")), tool("sha256sum", at("empty")), "empty")
      t.eq(ac.HashString(12), ac.HashString("12"), "numbers are converted")
    end},

    {"argument errors", function()
      for _, fn in ipairs {ac.HashAll, ac.HashPrimary, ac.HashSecondary, ac.HashNull, ac.HashString} do
        t.raises("bad argument #1", fn, {})
        t.raises("string expected", fn)
      end
    end},
  }
end)
