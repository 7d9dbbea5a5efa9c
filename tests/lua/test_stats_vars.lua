-- Statistics variables: slots by number and by name, set flags, errors.
local t, ac = require "testlib", require "ac"
local get = ac.GetStatsVar
t.run {
  {"before InitStats; set flags: unset is nil, zero is a value, clear unsets; bounds", function()
    t.eq(next(ac.StatNames()), nil, "StatNames is empty")
    t.raise_all {{"Stats not set", get, "events"}, {"bad argument #1", ac.IncStatsVar, "events"},
                 {"Expected list of stats", ac.InitStats, "events"}, {"number expected", ac.SetStatsVar, 5},
                 {"bad argument #2", ac.SetStatsVar, 5, "x"}}
    t.eq(get(5), nil, "never set; a refused set changes nothing")
    t.eq(select("#", ac.SetStatsVar(5, 0)) .. get(5), "00", "set to 0, no results")
    ac.SetStatsVar(5, 2.5)
    t.eq(get(5) .. " " .. ac.GetStatsAll()[5], "2.5 2.5", "fractions kept, in GetStatsAll")
    t.eq(t.show(select("#", ac.ClearStatsVar(5)), get(5), ac.GetStatsAll()[5]), "0, nil, nil", "cleared, key removed")
    for _, c in ipairs {{false, 1}, {0, 2}, {"junk", 3}, {-2, 1}, {"10", 11}, {"clear", nil}, {4, 4}} do  -- delta, value
      if c[1] == "clear" then ac.ClearStatsVar(3) elseif c[1] then ac.IncStatsVar(3, c[1]) else ac.IncStatsVar(3) end
      t.eq(get(3), c[2], "default and zero deltas add 1: after " .. tostring(c[1]))
    end
    ac.SetStatsVar("12", 7)
    ac.SetStatsVar(127, 1)
    ac.SetStatsVar(0, 2)
    t.eq(t.show(get(12), get(127), get(0)), "7, 1, 2", "12 (a string), last, first")
    for _, bad in ipairs {128, -1, 2^31, "200"} do
      t.raise_all {{"bad argument #1 to '?' (Index out of range)", get, bad}, {"Index out of range", ac.IncStatsVar, bad}}
    end
    for i = 0, 127 do ac.ClearStatsVar(i) end
    t.eq(t.show(select("#", ac.IncStatsVar(7, 3)), t.count(ac.GetStatsAll()), ac.GetStatsAll()[7]), "0, 1, 3",
         "no results; GetStatsAll holds exactly the set slots")
  end},
  {"names through the per-state index", function()
    local names = {events = 20, ["12"] = 30, far = 200, neg = -1, frac = 21.9, text = "22", bad = "x"}
    ac.InitStats(names)
    t.eq(rawequal(ac.StatNames(), names), true, "the table itself is kept")
    ac.IncStatsVar("events", 5)
    ac.SetStatsVar("frac", 9)
    ac.SetStatsVar("text", 8)
    ac.SetStatsVar("12", 1)
    t.eq(t.show(get(20), get(21), get(22), get(12)), "5, 9, 8, 1",
         "by name; fraction truncated; numeric string; a number is never looked up as a name")
    t.raise_all {{"Index out of range", get, "far"}, {"Index out of range", get, "neg"}, {"Unknown stat", get, "missing"},
                 {"Unknown stat", get, "bad"}, {"Unknown stat", ac.ClearStatsVar, {}}}
    names.later = 23
    ac.SetStatsVar("later", 1)
    t.eq(get(23), 1, "names added to the table later are seen")
  end},
}
