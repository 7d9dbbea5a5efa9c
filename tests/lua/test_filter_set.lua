-- Filter set: initial bypass, bounds, bit positions, counters.
local t, ac = require "testlib", require "ac"
-- Counter changes while fn runs, as "add+1 hit+2".
local function delta(fn)
  local before, d = ac.FilterSetStats(), {}
  fn()
  local now = ac.FilterSetStats()
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
-- The answers to the queries, in order.
local function answers(...)
  local out = {}
  for i, q in ipairs {...} do out[i] = tostring(ac.IsLikelyInSet(q)) end
  return table.concat(out, " ")
end

t.run {
  {"right after loading every query is bypassed; an empty set with filtering on answers out of range", function()
    t.eq(t.count(ac.FilterSetStats()) .. " " .. state(), "10 4294967295 0 0 1 0", "fields; empty, bypass on")
    t.eq(delta(function() t.eq(ac.IsLikelyInSet(5), true, "bypassed") end), "bypassed+1", "counted")
    ac.SetBypassFilterState(false)
    t.eq(delta(function() t.eq(answers(0, 1, 2^40, -1), "false false false false", "empty") end), "oorange+4", "counted")
  end},
  {"bounds, hits and misses, shared bit positions", function()
    ac.ClearFilterSet()
    t.eq(ac.FilterSetStats().bypassEnabled, 1, "clear switches bypass on")
    ac.AddToFilterSet(100)
    ac.AddToFilterSet(2000)
    ac.SetBypassFilterState(false)
    t.eq(state(), "100 2000 2 0 2", "bounds and count")
    t.eq(delta(function() t.eq(answers(100, 2000, 50, 3000, 1000), "true true false false false", "queries") end),
         "hit+2 miss+1 oorange+2", "counters")
    ac.AddToFilterSet(524388)  -- same bit as 100
    t.eq(state(), "100 524388 2 0 2", "no new bit, maxSize grew, adding keeps the bypass state")
    t.eq(delta(function() t.eq(answers(1000, 524388, 100, 524388 + 524288), "false true true false", "shared bit")
                          ac.AddToFilterSet(100) end), "add+1 hit+2 miss+1 oorange+1", "a repeated add counts")
    t.eq(ac.GetfilledPositionsCount(), 2, "repeated add sets no bit")
    ac.SetBypassFilterState(true)
    t.eq(ac.IsLikelyInSet(1000), true, "bypass on again")
  end},
  {"number conversion; clear empties everything and counts; argument errors", function()
    ac.ClearFilterSet()
    ac.AddToFilterSet(7.9)         -- truncated to 7
    ac.AddToFilterSet(-1)          -- the largest value, bit 524287
    ac.AddToFilterSet(2^63)        -- unsigned above 2^63, bit 0
    ac.SetBypassFilterState(false)
    t.eq(state(), "7 4294967295 3 0 3", "maxSize modulo 2^32, three bits")
    t.eq(answers(7, 7.5, -1, -524289, 2^63, 8, "x", "7"), "true true true true true false false true", "queries")
    t.eq(ac.IsLikelyInSet(), false, "missing argument reads as 0")
    t.eq(delta(function() ac.ClearFilterSet() end) .. " " .. state(), "clear+1 4294967295 0 0 1 0", "only clear counted")
    t.raise_all {{"bad argument #1 to '?' (boolean expected)", ac.SetBypassFilterState, 1},
                 {"bad argument #1 to '?' (boolean expected)", ac.SetBypassFilterState},
                 {"number expected", ac.AddToFilterSet}, {"number expected", ac.AddToFilterSet, "x"}}
    t.eq(ac.GetfilledPositionsCount(), 0, "refused adds set nothing")
  end},
}
