-- File hashing against the command line digest tools, on real files of every awkward kind.
local t, ac = require "testlib", require "ac"
-- Each function and the tools whose digests it returns, in order.
local FNS = {{"HashAll", "md5sum", "sha1sum", "sha256sum"}, {"HashPrimary", "sha256sum"},
             {"HashSecondary", "md5sum", "sha1sum"}, {"HashNull"}}
local function tool(name, path) return t.sh(name .. " '" .. path .. "'"):match("^(%x+)") end
-- Results as text, digests in hex: error number (nil on success), digests, byte count (none for HashNull).
local function got(fn, path)
  local r = {n = select("#", ac[fn](path)), ac[fn](path)}
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
  local files = {[t.writefile(at("big.bin"), table.concat(parts))] = #parts, [t.writefile(at("empty"), "")] = 0,
                 [t.writefile(at("small.txt"), "abc\0def\n")] = 8}
  os.execute(("cd '%s' && mkfifo fifo && ln -s big.bin link && mkdir sub && ln -s sub sublink && cp small.txt sub/copy"):format(dir))
  return {{"digests match the command line tools; failures give the error number and no digests", function()
    for path, size in pairs(files) do
      for _, f in ipairs(FNS) do t.eq(got(f[1], path), want(f, path, nil, size), f[1] .. " " .. path) end
    end
    t.eq(got("HashPrimary", at("fifo")) .. got("HashNull", at("fifo")), want(FNS[2], at("empty"), nil, 0) .. "nil",
         "a FIFO without a writer reads as empty")
    t.eq(got("HashPrimary", at("sublink/copy")), want(FNS[2], at("small.txt"), nil, 8), "links before the last name followed")
    for name, err in pairs {link = 40, sub = 21, missing = 2} do  -- ELOOP, EISDIR, ENOENT
      for _, f in ipairs(FNS) do t.eq(got(f[1], at(name)), want(f, nil, err), f[1] .. " " .. name) end
    end
    t.eq(t.hex(ac.HashString("abc\0def\n")), tool("sha256sum", at("small.txt")), "HashString: the full length")
    t.eq(t.hex(ac.HashString("")) .. " " .. t.hex(ac.HashString(12)), tool("sha256sum", at("empty")) .. " " ..
         t.hex(ac.HashString("12")), "empty; numbers are converted")
    for _, fn in ipairs {ac.HashAll, ac.HashPrimary, ac.HashSecondary, ac.HashNull, ac.HashString} do
      t.raise_all {{"bad argument #1", fn, {}}, {"string expected", fn}}
    end
  end}}
end)
