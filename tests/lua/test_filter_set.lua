-- Filter set: initial bypass, bounds, bit positions, counters.
local t = require "testlib"
local ac = require "ac"

-- Counter changes since the snapshot `before`.
local function delta(before)
  local now, d = ac.FilterSetStats(), {}
  for _, k in ipairs {"add", "bypassed", "clear", "hit", "miss", "oorange"} do
    if now[k] ~= before[k] then d[#d + 1] = k .. "+" .. (now[k] - before[k]) end
  end
  return table.concat(d, " ")
end

-- minSize maxSize count bypassEnabled, and the fill count.
local function state()
  local s = ac.FilterSetStats()
  return table.concat({s.minSize, s.maxSize, s.count, s.bypassEnabled, ac.GetfilledPositionsCount()}, " ")
end

-- Answers to queries: each key is a query, each value the expected answer.
local function answers(queries, what)
  for q, want in pairs(queries) do t.eq(ac.IsLikelyInSet(q), want, what .. " " .. q) end
end

local EMPTY = "4294967295 0 0 1 0"

t.run {
  {"right after loading every query is bypassed; an empty set with filtering on answers out of range", function()
    local s = ac.FilterSetStats()
    t.eq(t.count(s), 10, "fields")
    t.eq(state(), EMPTY, "empty, bypass on")
    t.eq(ac.IsLikelyInSet(5), true, "bypassed query")
    t.eq(delta(s), "bypassed+1", "counted as bypassed")
    ac.SetBypassFilterState(false)
    s = ac.FilterSetStats()
    answers({[0] = false, [1] = false, [2^40] = false, [-1] = false}, "bypass off, query")
    t.eq(delta(s), "oorange+4", "all out of range")
  end},

  {"bounds, hits and misses, shared bit positions", function()
    ac.ClearFilterSet()
    t.eq(ac.FilterSetStats().bypassEnabled, 1, "clear switches bypass on")
    ac.AddToFilterSet(100)
    ac.AddToFilterSet(2000)
    ac.SetBypassFilterState(false)
    t.eq(state(), "100 2000 2 0 2", "bounds and count")
    local s = ac.FilterSetStats()
    answers({[100] = true, [2000] = true, [50] = false, [3000] = false, [1000] = false}, "query")
    t.eq(delta(s), "hit+2 miss+1 oorange+2", "counters")

    ac.AddToFilterSet(524388)  -- same bit as 100
    t.eq(state(), "100 524388 2 0 2", "no new bit, maxSize grew, adding keeps the bypass state")
    s = ac.FilterSetStats()
    answers({[1000] = false, [524388] = true, [100] = true, [524388 + 524288] = false}, "after the shared bit")
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
    t.eq(state(), "7 4294967295 3 0 3", "maxSize modulo 2^32, three bits")
    answers({[7] = true, [7.5] = true, [-1] = true, [-524289] = true, [2^63] = true, [8] = false, x = false},
            "query (non-numbers read as 0, below the range)")
    t.eq(ac.IsLikelyInSet(), false, "missing argument reads as 0")
    ac.AddToFilterSet(0)
    t.eq(ac.IsLikelyInSet(), true, "0 now present")
    t.eq(ac.IsLikelyInSet("7"), true, "numeric string")
  end},

  {"clear empties everything and counts; counters never reset", function()
    local before = ac.FilterSetStats()
    ac.ClearFilterSet()
    t.eq(delta(before), "clear+1", "only clear changed")
    t.eq(state(), EMPTY, "emptied, bypass on")
    t.eq(before.add > 0 and before.hit > 0, true, "earlier counts kept")
  end},

  {"argument errors", function()
    local msg = "bad argument #1 to '?' (boolean expected)"
    t.raises(msg, ac.SetBypassFilterState, 1)
    t.raises(msg, ac.SetBypassFilterState, nil)
    t.raises(msg, ac.SetBypassFilterState)
    t.raises("number expected", ac.AddToFilterSet)
    t.raises("number expected", ac.AddToFilterSet, "x")
    t.eq(ac.GetfilledPositionsCount(), 0, "refused adds set nothing")
  end},
}
