-- CacheDump and FilterSetDump of module ac, written through the host's zip stream and read back.
local t, ac, lacdc, vyacore = require "testlib", require "ac", require "lacdc", require "vyacore"
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
  local digest = t.sh("printf '%s' '" .. path .. "' | sha256sum"):match("^(%x+)")
    :gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end)
  local d0, d1 = digest:byte(1, 2)
  return bit32.bxor(d0 * 256, d1 >= 128 and 0xFF00 or 0, d1), digest
end
t.run_in_dir(function(dir)
  local n = 0
  -- Runs the dumps into a new archive; its listing and entry reader.
  local function dump(...)
    n = n + 1
    local path, z = dir .. "/dump" .. n .. ".zip", vyacore.zip(dir .. "/dump" .. n .. ".zip")
    for _, fn in ipairs {...} do t.eq(select("#", fn(z)), 0, "no results") end
    t.eq(z:close(), true, "close")
    return t.zip_listing(path), function(name) return t.sh("unzip -p '" .. path .. "' '" .. name .. "'") end
  end
  return {
    {"no zip stream, another object, a constant or closed zip: nothing written", function()
      local z, dom = vyacore.zip(dir .. "/none.zip"), vyacore.dom(dir)
      for _, arg in ipairs {false, 1, {}, dom, vyacore.const(z), z} do
        if arg == z then z:close() end
        t.eq(select("#", ac.CacheDump(arg or nil)) + select("#", ac.FilterSetDump(arg or nil)), 0, "results")
      end
      t.eq(t.zip_listing(dir .. "/none.zip"), "", "entries")
    end},
    {"CacheDump writes the object cache slot by slot and then the drift table", function()
      lacdc.ClearCache()
      lacdc.DriftClear()
      local sb, db = slot_of("/opt/dump/blocked-tool")
      local sa, da = slot_of("/opt/dump/approved-tool")  -- two other slots
      lacdc.AddToCache("/opt/dump/blocked-tool", 3, "ruleset-1-2-300-40000")
      lacdc.AddToCache("/opt/dump/approved-tool", 1)
      lacdc.DriftOpen(4242, 7)
      lacdc.DriftOpen(4243, 9)
      local list, entry = dump(ac.CacheDump)
      t.eq(list, "ac/exec_cache " .. CACHE_BYTES .. " ac/drift " .. DRIFT_BYTES, "entries")
      local cache, want = entry("ac/exec_cache"), {}
      want[sb] = db .. le(1, 2) .. le(2, 2) .. le(300, 2) .. le(40000, 2) .. le(3, 4)  -- rule set numbers 16 bits each
      want[sa] = da .. zeros(8) .. le(1, 4)
      for slot, bytes in pairs(want) do
        t.eq(t.hex(cache:sub(slot * SLOT_BYTES + 1, (slot + 1) * SLOT_BYTES)), t.hex(bytes), "slot " .. slot)
      end
      t.eq(#cache:gsub("%z", ""), #want[sb]:gsub("%z", "") + #want[sa]:gsub("%z", ""), "the rest of the table is empty")
      -- Drift: track and open counters, the rest zero up to tail and head, then the ring (pid, fd, name, name length).
      local function slot(pid, fd) return le(pid, 4) .. le(fd, 4) .. le(0, 8) .. le(-1, 4) .. zeros(4) end
      local ring = slot(4242, 7) .. slot(4243, 9)
      t.eq(t.hex(entry("ac/drift")), t.hex(le(2, 8) .. le(2, 8) .. zeros(136) .. le(0, 8) .. le(2, 8) .. ring ..
           zeros(DRIFT_BYTES - 168 - #ring)), "drift table")
    end},
    {"FilterSetDump writes the 65536 bytes of the filter set; both dumps in call order", function()
      ac.ClearFilterSet()
      -- Bit v % 524288: byte v >> 3, bit v & 7. 524305 shares its bit with 17.
      for _, v in ipairs {0, 9, 17, 524305, 524287} do ac.AddToFilterSet(v) end
      local list, entry = dump(ac.FilterSetDump, ac.CacheDump, ac.FilterSetDump)
      t.eq(list, ("ac/filterSet %d ac/exec_cache %d ac/drift %d ac/filterSet %d"):format(FILTER_BYTES, CACHE_BYTES,
           DRIFT_BYTES, FILTER_BYTES), "entries")
      local set = entry("ac/filterSet"):sub(1, FILTER_BYTES)
      t.eq(t.show(set:byte(1, 3)) .. " " .. set:byte(FILTER_BYTES), "1, 2, 2 128", "values 0, 9, 17 and 524305, 524287")
      t.eq(#set:gsub("%z", ""), 4, "no other byte set")
    end},
  }
end)
