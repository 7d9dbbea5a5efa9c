-- Filter set: initial bypass, bounds, bit positions, counters.
local t, ac = require "testlib", require "ac"
-- The answers to the queries (a list), then the counter changes they made ("hit+2 miss+1").
local function ask(queries, fn)
  local before, out, d = ac.FilterSetStats(), {}, {}
  for i, q in ipairs(queries) do out[i] = tostring(ac.IsLikelyInSet(q)) end
  if fn then fn() end
  local now = ac.FilterSetStats()
  for _, k in ipairs {"add", "bypassed", "clear", "hit", "miss", "oorange"} do
    if now[k] ~= before[k] then d[#d + 1] = k .. "+" .. (now[k] - before[k]) end
  end
  return table.concat(out, " ") .. ": " .. table.concat(d, " ")
end
-- minSize maxSize count bypassEnabled, and the fill count.
local function state()
  local s = ac.FilterSetStats()
  return table.concat({s.minSize, s.maxSize, s.count, s.bypassEnabled, ac.GetfilledPositionsCount()}, " ")
end
t.run {
  {"bypass, bounds, hits and misses, shared bit positions", function()
    t.eq(t.count(ac.FilterSetStats()) .. " " .. state(), "10 4294967295 0 0 1 0", "fields; empty, bypass on")
    t.eq(ask {5}, "true: bypassed+1", "right after loading every query is bypassed")
    ac.SetBypassFilterState(false)
    t.eq(ask {0, 1, 2^40, -1}, "false false false false: oorange+4", "an empty set answers out of range")
    ac.AddToFilterSet(100)
    ac.AddToFilterSet(2000)
    t.eq(state(), "100 2000 2 0 2", "bounds and count; adding keeps the bypass state")
    t.eq(ask {100, 2000, 50, 3000, 1000}, "true true false false false: hit+2 miss+1 oorange+2", "queries")
    ac.AddToFilterSet(524388)  -- same bit as 100
    t.eq(state(), "100 524388 2 0 2", "no new bit, maxSize grew")
    t.eq(ask({1000, 524388, 100, 524388 + 524288}, function() ac.AddToFilterSet(100) end),
         "false true true false: add+1 hit+2 miss+1 oorange+1", "shared bit; a repeated add counts but sets no bit")
    ac.SetBypassFilterState(true)
    t.eq(ask {1000} .. " " .. ac.GetfilledPositionsCount(), "true: bypassed+1 2", "bypass on again")
    ac.ClearFilterSet()
    t.eq(ac.FilterSetStats().bypassEnabled, 1, "clear switches bypass on")
  end},
  {"number conversion; clear empties everything and counts; argument errors", function()
    ac.AddToFilterSet(7.9)         -- truncated to 7
    ac.AddToFilterSet(-1)          -- the largest value, bit 524287
    ac.AddToFilterSet(2^63)        -- unsigned above 2^63, bit 0
    ac.SetBypassFilterState(false)
    t.eq(state(), "7 4294967295 3 0 3", "maxSize modulo 2^32, three bits")
    t.eq(ask {7, 7.5, -1, -524289, 2^63, 8, "x", "7"}, "true true true true true false false true: hit+6 miss+1 oorange+1", "")
    t.eq(ask({}, ac.ClearFilterSet) .. " " .. state(), ": clear+1 4294967295 0 0 1 0", "only clear counted")
    t.raise_all {{"bad argument #1 to '?' (boolean expected)", ac.SetBypassFilterState, 1},
                 {"number expected", ac.AddToFilterSet}, {"number expected", ac.AddToFilterSet, "x"}}
  end},
}
