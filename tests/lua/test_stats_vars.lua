-- Statistics variables: slots by number and by name, set flags, errors.
local t = require "testlib"
local ac = require "ac"

t.run {
  {"names before InitStats", function()
    t.eq(next(ac.StatNames()), nil, "StatNames is empty")
    t.raises("Stats not set", ac.GetStatsVar, "events")
    t.raises("bad argument #1", ac.IncStatsVar, "events")
    t.raises("Expected list of stats", ac.InitStats, "events")
    t.raises("Expected list of stats", ac.InitStats)
  end},

  {"set flag: unset is nil, zero is a value, clear unsets", function()
    t.eq(ac.GetStatsVar(5), nil, "never set")
    ac.SetStatsVar(5, 0)
    t.eq(ac.GetStatsVar(5), 0, "set to 0")
    ac.SetStatsVar(5, 2.5)
    t.eq(ac.GetStatsVar(5), 2.5, "fractions kept")
    t.eq(ac.GetStatsAll()[5], 2.5, "in GetStatsAll")
    ac.ClearStatsVar(5)
    t.eq(ac.GetStatsVar(5), nil, "cleared")
    t.eq(ac.GetStatsAll()[5], nil, "key removed")
    t.raises("number expected", ac.SetStatsVar, 5)
    t.raises("bad argument #2", ac.SetStatsVar, 5, "x")
    t.eq(ac.GetStatsVar(5), nil, "a refused set changes nothing")
  end},

  {"increments: default and zero deltas add 1", function()
    ac.IncStatsVar(3)
    t.eq(ac.GetStatsVar(3), 1, "unset slot starts from the delta")
    ac.IncStatsVar(3, 0)
    ac.IncStatsVar(3, "junk")
    t.eq(ac.GetStatsVar(3), 3, "0 and non-numbers add 1")
    ac.IncStatsVar(3, -2)
    t.eq(ac.GetStatsVar(3), 1, "negative delta")
    ac.IncStatsVar(3, "10")
    t.eq(ac.GetStatsVar(3), 11, "numeric string delta")
    ac.ClearStatsVar(3)
    ac.IncStatsVar(3, 4)
    t.eq(ac.GetStatsVar(3), 4, "after clear the value starts at 0")
  end},

  {"numeric indices and their bounds", function()
    ac.SetStatsVar("12", 7)
    t.eq(ac.GetStatsVar(12), 7, "a numeric string is an index")
    ac.SetStatsVar(127, 1)
    t.eq(ac.GetStatsVar(127), 1, "last slot")
    ac.SetStatsVar(0, 1)
    t.eq(ac.GetStatsVar(0), 1, "first slot")
    for _, bad in ipairs {128, -1, 2^31, "200"} do
      t.raises("Index out of range", ac.GetStatsVar, bad)
      t.raises("Index out of range", ac.IncStatsVar, bad)
    end
    t.raises("bad argument #1", ac.GetStatsVar, 128)
  end},

  {"names through the per-state index", function()
    local names = {events = 20, ["12"] = 30, far = 200, neg = -1, frac = 21.9, text = "22", bad = "x"}
    ac.InitStats(names)
    t.eq(rawequal(ac.StatNames(), names), true, "the table itself is kept")
    ac.IncStatsVar("events", 5)
    t.eq(ac.GetStatsVar(20), 5, "name resolves to its slot")
    ac.SetStatsVar("frac", 9)
    t.eq(ac.GetStatsVar(21), 9, "fractional index truncated")
    ac.SetStatsVar("text", 8)
    t.eq(ac.GetStatsVar(22), 8, "numeric string in the index")
    ac.SetStatsVar("12", 1)
    t.eq(ac.GetStatsVar(12), 1, "a numeric argument is never looked up as a name")
    t.raises("Index out of range", ac.GetStatsVar, "far")
    t.raises("Index out of range", ac.GetStatsVar, "neg")
    t.raises("Unknown stat", ac.GetStatsVar, "missing")
    t.raises("Unknown stat", ac.GetStatsVar, "bad")
    t.raises("Unknown stat", ac.ClearStatsVar, {})
    names.later = 23
    ac.SetStatsVar("later", 1)
    t.eq(ac.GetStatsVar(23), 1, "names added to the table later are seen")
    setmetatable(names, {__index = function() return 24 end})
    t.raises("Unknown stat", ac.GetStatsVar, "viaIndex")
  end},

  {"GetStatsAll holds exactly the set slots", function()
    for i = 0, 127 do ac.ClearStatsVar(i) end
    t.eq(next(ac.GetStatsAll()), nil, "all clear")
    ac.SetStatsVar(0, 1)
    ac.IncStatsVar(7, 3)
    local all = ac.GetStatsAll()
    t.eq(t.count(all), 2, "two keys")
    t.eq(all[0], 1, "slot 0")
    t.eq(all[7], 3, "slot 7")
  end},

  {"StatsEvent always raises", function()
    t.raises("StatsEvent uninitialized", ac.StatsEvent)
    t.raises("StatsEvent uninitialized", ac.StatsEvent, 1, {})
  end},
}
