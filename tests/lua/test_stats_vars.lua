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
    t.eq(ac.GetStatsVar(5) .. " " .. ac.GetStatsAll()[5], "2.5 2.5", "fractions kept, in GetStatsAll")
    ac.ClearStatsVar(5)
    t.eq(t.show(ac.GetStatsVar(5), ac.GetStatsAll()[5]), "nil, nil", "cleared, key removed")
    t.raises("number expected", ac.SetStatsVar, 5)
    t.raises("bad argument #2", ac.SetStatsVar, 5, "x")
    t.eq(ac.GetStatsVar(5), nil, "a refused set changes nothing")
  end},

  {"increments: default and zero deltas add 1", function()
    for _, c in ipairs {  -- delta (false: none), value after
      {false, 1}, {0, 2}, {"junk", 3}, {-2, 1}, {"10", 11}, {"clear", nil}, {4, 4},
    } do
      if c[1] == "clear" then ac.ClearStatsVar(3) elseif c[1] then ac.IncStatsVar(3, c[1]) else ac.IncStatsVar(3) end
      t.eq(ac.GetStatsVar(3), c[2], "after delta " .. tostring(c[1]))
    end
  end},

  {"numeric indices and their bounds", function()
    ac.SetStatsVar("12", 7)
    ac.SetStatsVar(127, 1)
    ac.SetStatsVar(0, 2)
    t.eq(t.show(ac.GetStatsVar(12), ac.GetStatsVar(127), ac.GetStatsVar(0)), "7, 1, 2", "12 (a string), last, first")
    for _, bad in ipairs {128, -1, 2^31, "200"} do
      t.raises("bad argument #1 to '?' (Index out of range)", ac.GetStatsVar, bad)
      t.raises("Index out of range", ac.IncStatsVar, bad)
    end
  end},

  {"names through the per-state index", function()
    local names = {events = 20, ["12"] = 30, far = 200, neg = -1, frac = 21.9, text = "22", bad = "x"}
    ac.InitStats(names)
    t.eq(rawequal(ac.StatNames(), names), true, "the table itself is kept")
    ac.IncStatsVar("events", 5)
    ac.SetStatsVar("frac", 9)
    ac.SetStatsVar("text", 8)
    ac.SetStatsVar("12", 1)
    t.eq(t.show(ac.GetStatsVar(20), ac.GetStatsVar(21), ac.GetStatsVar(22), ac.GetStatsVar(12)), "5, 9, 8, 1",
         "by name; fraction truncated; numeric string; a number is never looked up as a name")
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
    t.eq(t.count(all) .. " " .. all[0] .. " " .. all[7], "2 1 3", "two keys, slots 0 and 7")
  end},

  {"StatsEvent always raises", function()
    t.raises("StatsEvent uninitialized", ac.StatsEvent)
    t.raises("StatsEvent uninitialized", ac.StatsEvent, 1, {})
  end},
}
