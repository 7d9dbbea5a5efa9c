-- CacheDump and FilterSetDump of module ac, written through the host's zip
-- stream and read back with python3's zipfile (names, sizes, CRCs) and unzip
-- (contents).
local t = require "testlib"
local ac = require "ac"
local lacdc = require "lacdc"
local vyacore = require "vyacore"

local CACHE_BYTES, SLOT_BYTES, DRIFT_BYTES, FILTER_BYTES = 2883584, 44, 1704, 65536

local dir = os.tmpname()
os.remove(dir)
assert(os.execute("mkdir -m 0700 " .. dir))

local function sh_quote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

local function read_cmd(cmd)
  local p = assert(io.popen(cmd, "r"))
  local out = p:read("*a")
  local ok = p:close()
  assert(ok, "command failed: " .. cmd)
  return out
end

local narchives = 0
local function new_archive()
  narchives = narchives + 1
  local path = dir .. "/dump" .. narchives .. ".zip"
  return vyacore.zip(path), path
end

-- The entries of an archive in order, as "name size" lines joined by
-- spaces; fails when a CRC does not match.
local function listing(path)
  return (read_cmd("python3 -c " .. sh_quote([[
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
print(" ".join("%s %d" % (i.filename, i.file_size) for i in z.infolist()))
]]) .. " " .. sh_quote(path)):gsub("\n$", ""))
end

local function entry(path, name)
  return read_cmd("unzip -p " .. sh_quote(path) .. " " .. sh_quote(name))
end

-- Little-endian integers at a 0-based offset of a byte string.
local function uint(s, off, n)
  local v = 0
  for i = n, 1, -1 do v = v * 256 + s:byte(off + i) end
  return v
end
local function int(s, off, n)
  local v = uint(s, off, n)
  return v >= 2 ^ (8 * n - 1) and v - 2 ^ (8 * n) or v
end

local function nonzero_bytes(s)
  local n = 0
  for _ in s:gmatch("[^\0]") do n = n + 1 end
  return n
end

-- SHA-256 of a path text as 32 raw bytes, by an outside tool.
local function sha256(text)
  local hex = read_cmd("printf '%s' " .. sh_quote(text) .. " | sha256sum"):match("^(%x+)")
  return (hex:gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end))
end

-- Slot of a digest: the first two bytes taken as signed, (d0 << 8) XOR d1, low 16 bits.
local function slot_of(digest)
  local d0, d1 = int(digest, 0, 1) % 2 ^ 32, int(digest, 1, 1) % 2 ^ 32
  return bit32.band(bit32.bxor(bit32.lshift(d0, 8), d1), 0xFFFF)
end

local function results(...) return select("#", ...) end

local ok, err = pcall(t.run, {
  {"no zip stream, another object or a constant zip: no results, nothing written", function()
    local z, path = new_archive()
    local view = vyacore.const(z)
    local dom = vyacore.dom(dir)
    for _, arg in ipairs {{"nil"}, {"number", 1}, {"string", "z"}, {"table", {}}, {"dom", dom},
                          {"const dom", vyacore.const(dom)}, {"const zip", view}} do
      t.eq(results(ac.CacheDump(arg[2])), 0, "CacheDump results for " .. arg[1])
      t.eq(results(ac.FilterSetDump(arg[2])), 0, "FilterSetDump results for " .. arg[1])
    end
    t.eq(results(ac.CacheDump()), 0, "CacheDump without argument")
    t.eq(z:close(), true, "close")
    t.eq(listing(path), "", "entries")
    -- A closed stream is accepted but takes nothing more.
    t.eq(results(ac.CacheDump(z)), 0, "CacheDump into a closed stream")
    t.eq(results(ac.FilterSetDump(z)), 0, "FilterSetDump into a closed stream")
    t.eq(listing(path), "", "entries after dumping into a closed stream")
  end},

  {"CacheDump writes the object cache slot by slot and then the drift table", function()
    lacdc.ClearCache()
    local blocked, approved = "/opt/dump/blocked-tool", "/opt/dump/approved-tool"
    local db, da = sha256(blocked), sha256(approved)
    local sb, sa = slot_of(db), slot_of(da)
    assert(sb ~= sa, "the two test paths share a slot")
    lacdc.AddToCache(blocked, 3, "ruleset-1-2-300-40000")
    lacdc.AddToCache(approved, 1)
    lacdc.DriftClear()
    lacdc.DriftOpen(4242, 7)
    lacdc.DriftOpen(4243, 9)

    local z, path = new_archive()
    t.eq(results(ac.CacheDump(z)), 0, "results")
    t.eq(z:close(), true, "close")
    t.eq(listing(path), "ac/exec_cache " .. CACHE_BYTES .. " ac/drift " .. DRIFT_BYTES, "entries")

    local cache = entry(path, "ac/exec_cache")
    t.eq(#cache, CACHE_BYTES, "exec_cache bytes")
    local b = cache:sub(sb * SLOT_BYTES + 1, (sb + 1) * SLOT_BYTES)
    t.eq(b:sub(1, 32), db, "blocked: digest at the start of its slot")
    t.eq(int(b, 32, 2) .. "," .. int(b, 34, 2) .. "," .. int(b, 36, 2) .. "," .. int(b, 38, 2),
         "1,2,300,-25536", "blocked: rule set numbers, 16 bits each")
    t.eq(uint(b, 40, 4), 3, "blocked: cache type")
    local a = cache:sub(sa * SLOT_BYTES + 1, (sa + 1) * SLOT_BYTES)
    t.eq(a:sub(1, 32), da, "approved: digest")
    t.eq(a:sub(33, 40), ("\0"):rep(8), "approved: no rule set")
    t.eq(uint(a, 40, 4), 1, "approved: cache type")
    t.eq(nonzero_bytes(cache), nonzero_bytes(a) + nonzero_bytes(b), "the rest of the table is empty")

    local drift = entry(path, "ac/drift")
    t.eq(#drift, DRIFT_BYTES, "drift bytes")
    t.eq(uint(drift, 0, 8), 2, "track counter")
    t.eq(uint(drift, 8, 8), 2, "open counter")
    t.eq(uint(drift, 152, 8), 0, "tail")
    t.eq(uint(drift, 160, 8), 2, "head")
    for i, want in ipairs {{4242, 7}, {4243, 9}} do
      local off = 168 + (i - 1) * 24
      t.eq(uint(drift, off, 4), want[1], "pid of entry " .. i)
      t.eq(int(drift, off + 4, 4), want[2], "fd of entry " .. i)
      t.eq(uint(drift, off + 8, 8), 0, "no name in entry " .. i)
      t.eq(int(drift, off + 16, 4), -1, "name length of entry " .. i)
    end
    t.eq(nonzero_bytes(drift:sub(17, 160)), 0, "other counters, cooldown and tail")
    t.eq(nonzero_bytes(drift:sub(168 + 48 + 1)), 0, "unused ring slots")

    lacdc.ClearCache()
  end},

  {"FilterSetDump writes the 65536 bytes of the filter set", function()
    ac.ClearFilterSet()
    local z, path = new_archive()
    t.eq(results(ac.FilterSetDump(z)), 0, "results")
    z:close()
    t.eq(listing(path), "ac/filterSet " .. FILTER_BYTES, "entries after clearing")
    t.eq(entry(path, "ac/filterSet"), ("\0"):rep(FILTER_BYTES), "cleared set")

    -- Bit v % 524288: byte v >> 3, bit v & 7. 524305 shares its bit with 17.
    for _, v in ipairs {0, 9, 17, 524305, 524287} do ac.AddToFilterSet(v) end
    t.eq(ac.GetfilledPositionsCount(), 4, "positions")
    z, path = new_archive()
    ac.FilterSetDump(z)
    z:close()
    local set = entry(path, "ac/filterSet")
    t.eq(#set, FILTER_BYTES, "bytes")
    t.eq(set:byte(1), 1, "byte 0 (value 0)")
    t.eq(set:byte(2), 2, "byte 1 (value 9)")
    t.eq(set:byte(3), 2, "byte 2 (values 17 and 524305)")
    t.eq(set:byte(FILTER_BYTES), 128, "last byte (value 524287)")
    t.eq(nonzero_bytes(set), 4, "no other byte set")
    ac.ClearFilterSet()
  end},

  {"both dumps into one archive, in call order", function()
    local z, path = new_archive()
    ac.FilterSetDump(z)
    ac.CacheDump(z)
    ac.FilterSetDump(z)
    t.eq(z:close(), true, "close")
    t.eq(listing(path), string.format("ac/filterSet %d ac/exec_cache %d ac/drift %d ac/filterSet %d",
         FILTER_BYTES, CACHE_BYTES, DRIFT_BYTES, FILTER_BYTES), "entries")
  end},
})
os.execute("rm -rf " .. sh_quote(dir))
if not ok then error(err, 0) end
