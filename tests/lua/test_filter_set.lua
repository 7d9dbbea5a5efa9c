-- Filter set: initial bypass, bounds, bit positions, counters.
local t = require "testlib"
local ac = require "ac"

-- Counter changes since the snapshot `before`.
local COUNTERS = {"add", "bypassed", "clear", "hit", "miss", "oorange"}
local function delta(before)
  local now, d = ac.FilterSetStats(), {}
  for _, k in ipairs(COUNTERS) do
    if now[k] ~= before[k] then d[#d + 1] = k .. "+" .. (now[k] - before[k]) end
  end
  return table.concat(d, " ")
end

t.run {
  {"right after loading every query is bypassed", function()
    local s = ac.FilterSetStats()
    t.eq(t.count(s), 10, "fields")
    t.eq(s.minSize, 4294967295, "minSize")
    t.eq(s.maxSize, 0, "maxSize")
    t.eq(s.bypassEnabled, 1, "bypassEnabled")
    t.eq(s.count, 0, "count")
    t.eq(ac.IsLikelyInSet(5), true, "bypassed query")
    t.eq(delta(s), "bypassed+1", "counted as bypassed")
    t.eq(ac.GetfilledPositionsCount(), 0, "empty")
  end},

  {"an empty set with filtering on answers out of range", function()
    ac.ClearFilterSet()
    ac.SetBypassFilterState(false)
    local s = ac.FilterSetStats()
    t.eq(s.bypassEnabled, 0, "bypass off")
    for _, n in ipairs {0, 1, 2^40, -1} do t.eq(ac.IsLikelyInSet(n), false, "query " .. n) end
    t.eq(delta(s), "oorange+4", "all out of range")
  end},

  {"bounds, hits and misses, shared bit positions", function()
    ac.ClearFilterSet()
    t.eq(ac.FilterSetStats().bypassEnabled, 1, "clear switches bypass on")
    ac.AddToFilterSet(100)
    ac.AddToFilterSet(2000)
    ac.SetBypassFilterState(false)
    local s = ac.FilterSetStats()
    t.eq(s.minSize, 100, "minSize")
    t.eq(s.maxSize, 2000, "maxSize")
    t.eq(s.count, 2, "count")
    t.eq(ac.IsLikelyInSet(100), true, "100")
    t.eq(ac.IsLikelyInSet(2000), true, "2000")
    t.eq(ac.IsLikelyInSet(50), false, "50")
    t.eq(ac.IsLikelyInSet(3000), false, "3000")
    t.eq(ac.IsLikelyInSet(1000), false, "1000")
    t.eq(delta(s), "hit+2 miss+1 oorange+2", "counters")

    ac.AddToFilterSet(524388)  -- same bit as 100
    s = ac.FilterSetStats()
    t.eq(s.count, 2, "no new bit")
    t.eq(ac.GetfilledPositionsCount(), 2, "fill count")
    t.eq(s.maxSize, 524388, "maxSize grew")
    t.eq(s.bypassEnabled, 0, "adding keeps the bypass state")
    t.eq(ac.IsLikelyInSet(1000), false, "1000 still a miss")
    t.eq(ac.IsLikelyInSet(524388), true, "524388")
    t.eq(ac.IsLikelyInSet(100), true, "100")
    t.eq(ac.IsLikelyInSet(524388 + 524288), false, "above the range")
    ac.AddToFilterSet(100)
    t.eq(delta(s), "add+1 hit+2 miss+1 oorange+1", "a repeated add counts")
    t.eq(ac.GetfilledPositionsCount(), 2, "repeated add sets no bit")
    ac.SetBypassFilterState(true)
    t.eq(ac.IsLikelyInSet(1000), true, "bypass on again")
    ac.SetBypassFilterState(false)
    t.eq(ac.IsLikelyInSet(1000), false, "and off")
  end},

  {"number conversion: fractions, negatives, huge values", function()
    ac.ClearFilterSet()
    ac.AddToFilterSet(7.9)         -- truncated to 7
    ac.AddToFilterSet(-1)          -- the largest value, bit 524287
    ac.AddToFilterSet(2^63)        -- unsigned above 2^63, bit 0
    ac.SetBypassFilterState(false)
    local s = ac.FilterSetStats()
    t.eq(s.minSize, 7, "minSize")
    t.eq(s.maxSize, 4294967295, "maxSize modulo 2^32")
    t.eq(s.count, 3, "three bits")
    t.eq(ac.IsLikelyInSet(7), true, "7")
    t.eq(ac.IsLikelyInSet(7.5), true, "7.5 is 7")
    t.eq(ac.IsLikelyInSet(-1), true, "-1")
    t.eq(ac.IsLikelyInSet(-524289), true, "same bit as -1")
    t.eq(ac.IsLikelyInSet(2^63), true, "2^63")
    t.eq(ac.IsLikelyInSet(8), false, "8")
    t.eq(ac.IsLikelyInSet(), false, "missing argument reads as 0: below the range")
    t.eq(ac.IsLikelyInSet("x"), false, "non-number reads as 0")
    ac.AddToFilterSet(0)
    t.eq(ac.IsLikelyInSet(), true, "0 now present")
    t.eq(ac.IsLikelyInSet("7"), true, "numeric string")
  end},

  {"clear empties everything and counts; counters never reset", function()
    local before = ac.FilterSetStats()
    ac.ClearFilterSet()
    local s = ac.FilterSetStats()
    t.eq(delta(before), "clear+1", "only clear changed")
    t.eq(s.count, 0, "count")
    t.eq(s.minSize, 4294967295, "minSize")
    t.eq(s.maxSize, 0, "maxSize")
    t.eq(s.bypassEnabled, 1, "bypass")
    t.eq(s.add > 0 and s.hit > 0, true, "earlier counts kept")
  end},

  {"argument errors", function()
    t.raises("bad argument #1", ac.SetBypassFilterState, 1)
    t.raises("boolean expected", ac.SetBypassFilterState, 1)
    t.raises("boolean expected", ac.SetBypassFilterState, nil)
    t.raises("boolean expected", ac.SetBypassFilterState)
    t.raises("number expected", ac.AddToFilterSet)
    t.raises("number expected", ac.AddToFilterSet, "x")
    t.eq(ac.GetfilledPositionsCount(), 0, "refused adds set nothing")
  end},
}
