-- CacheDump and FilterSetDump of module ac, written through the host's zip
-- stream and read back with python3's zipfile and unzip.
local t = require "testlib"
local ac = require "ac"
local lacdc = require "lacdc"
local vyacore = require "vyacore"

local CACHE_BYTES, SLOT_BYTES, DRIFT_BYTES, FILTER_BYTES = 2883584, 44, 1704, 65536

-- v as n little-endian bytes (two's complement when negative).
local function le(v, n)
  v = v % 2 ^ (8 * n)
  local out = {}
  for i = 1, n do out[i] = string.char(v % 256); v = math.floor(v / 256) end
  return table.concat(out)
end
local function zeros(n) return ("\0"):rep(n) end

-- The object cache slot of a path and its SHA-256, by an outside tool. The
-- slot: the digest's first two bytes as signed chars, (d0 << 8) ^ d1, low 16 bits.
local function slot_of(path)
  local hex = t.sh("printf '%s' '" .. path .. "' | sha256sum"):match("^(%x+)")
  local digest = hex:gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end)
  local d0, d1 = digest:byte(1, 2)
  return bit32.bxor(d0 * 256, d1 >= 128 and 0xFF00 or 0, d1), digest
end

t.run_in_dir(function(dir)
  local narchives = 0
  local function new_archive()
    narchives = narchives + 1
    local path = dir .. "/dump" .. narchives .. ".zip"
    return vyacore.zip(path), path
  end
  local function entry(path, name) return t.sh("unzip -p '" .. path .. "' '" .. name .. "'") end

  return {
    {"no zip stream, another object, a constant or closed zip: no results, nothing written", function()
      local z, path = new_archive()
      local dom = vyacore.dom(dir)
      for _, arg in ipairs {{"nil"}, {"number", 1}, {"string", "z"}, {"table", {}}, {"dom", dom},
                            {"const dom", vyacore.const(dom)}, {"const zip", vyacore.const(z)}} do
        t.eq(t.show(ac.CacheDump(arg[2])) .. t.show(ac.FilterSetDump(arg[2])), "", "results for " .. arg[1])
      end
      t.eq(t.show(ac.CacheDump()), "", "CacheDump without argument")
      t.eq(z:close(), true, "close")
      t.eq(t.show(ac.CacheDump(z)) .. t.show(ac.FilterSetDump(z)), "", "dumps into a closed stream")
      t.eq(t.zip_listing(path), "", "entries")
    end},

    {"CacheDump writes the object cache slot by slot and then the drift table", function()
      lacdc.ClearCache()
      local blocked, approved = "/opt/dump/blocked-tool", "/opt/dump/approved-tool"
      local sb, db = slot_of(blocked)
      local sa, da = slot_of(approved)
      assert(sb ~= sa, "the two test paths share a slot")
      lacdc.AddToCache(blocked, 3, "ruleset-1-2-300-40000")
      lacdc.AddToCache(approved, 1)
      lacdc.DriftClear()
      lacdc.DriftOpen(4242, 7)
      lacdc.DriftOpen(4243, 9)

      local z, path = new_archive()
      t.eq(t.show(ac.CacheDump(z)), "", "results")
      t.eq(z:close(), true, "close")
      t.eq(t.zip_listing(path), "ac/exec_cache " .. CACHE_BYTES .. " ac/drift " .. DRIFT_BYTES, "entries")

      local cache, want = entry(path, "ac/exec_cache"), {}
      want[sb] = db .. le(1, 2) .. le(2, 2) .. le(300, 2) .. le(40000, 2) .. le(3, 4)  -- rule set numbers 16 bits each
      want[sa] = da .. zeros(8) .. le(1, 4)
      for slot, bytes in pairs(want) do
        t.eq(t.hex(cache:sub(slot * SLOT_BYTES + 1, (slot + 1) * SLOT_BYTES)), t.hex(bytes), "slot " .. slot)
      end
      t.eq(#cache:gsub("%z", ""), #want[sb]:gsub("%z", "") + #want[sa]:gsub("%z", ""), "the rest of the table is empty")
      -- Drift: track and open counters, the rest zero up to tail and head, then the ring (pid, fd, name, name length).
      local function slot(pid, fd) return le(pid, 4) .. le(fd, 4) .. le(0, 8) .. le(-1, 4) .. zeros(4) end
      local ring = slot(4242, 7) .. slot(4243, 9)
      t.eq(t.hex(entry(path, "ac/drift")), t.hex(le(2, 8) .. le(2, 8) .. zeros(136) .. le(0, 8) .. le(2, 8) .. ring ..
           zeros(DRIFT_BYTES - 168 - #ring)), "drift table")
      lacdc.ClearCache()
    end},

    {"FilterSetDump writes the 65536 bytes of the filter set", function()
      ac.ClearFilterSet()
      local z, path = new_archive()
      t.eq(t.show(ac.FilterSetDump(z)), "", "results")
      z:close()
      t.eq(entry(path, "ac/filterSet"), ("\0"):rep(FILTER_BYTES), "cleared set")

      -- Bit v % 524288: byte v >> 3, bit v & 7. 524305 shares its bit with 17.
      for _, v in ipairs {0, 9, 17, 524305, 524287} do ac.AddToFilterSet(v) end
      z, path = new_archive()
      ac.FilterSetDump(z)
      z:close()
      local set = entry(path, "ac/filterSet")
      t.eq(#set, FILTER_BYTES, "bytes")
      t.eq(t.show(set:byte(1, 3)) .. " " .. set:byte(FILTER_BYTES), "1, 2, 2 128", "values 0, 9, 17 and 524305, 524287")
      t.eq(#set:gsub("%z", ""), 4, "no other byte set")
      ac.ClearFilterSet()
    end},

    {"both dumps into one archive, in call order", function()
      local z, path = new_archive()
      ac.FilterSetDump(z)
      ac.CacheDump(z)
      ac.FilterSetDump(z)
      t.eq(z:close(), true, "close")
      t.eq(t.zip_listing(path), string.format("ac/filterSet %d ac/exec_cache %d ac/drift %d ac/filterSet %d",
           FILTER_BYTES, CACHE_BYTES, DRIFT_BYTES, FILTER_BYTES), "entries")
    end},
  }
end)
