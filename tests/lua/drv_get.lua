-- Event retrieval over the simulated driver: waits and their failures,
-- fast-path answers, raw tables of gettest and the local logs.
local t, d = require "testlib", require "drvlib"
local sim, lacdc, T = d.sim, d.lacdc, d.T
t.run {
  {"get's endings: status, message, what was answered and whether the handle stops", function()
    local function queued() sim.push{type = T.close_post, id = 1, pid = 1} end
    for _, c in ipairs {
      {"timeout", function() end, "nil | -4 | poll(): Timeout (-4)", 0, false},
      {"hang-up", function() queued() sim.hangup() end, "nil | -3 | poll(): Driver disabled (-3)", 1, true},
      {"shutdown", function() queued() sim.shutdown() end, "nil | -2 | poll(): Shutting down (-2)", 0, true},
      {"read", function() queued() sim.fail("read", 5) end, "nil | 5 | get(): Input/output error (5)", 0, false},
      {"poll", function() sim.fail("poll", 12) end, "nil | 12 | poll(): Cannot allocate memory (12)", 0, false},
    } do
      local h = d.ready(c[1] == "shutdown" and sim.exitchannel() or nil)
      c[2]()
      t.eq(d.show(d.get(h, {timeout = 100})) .. " " .. #sim.replies() .. " " .. tostring(h:isdone()),
           c[3] .. " " .. c[4] .. " " .. tostring(c[5]), c[1] .. ": results, replies, stopped")
      if c[5] then
        t.eq(d.show(d.get(h, {timeout = 0})) .. d.show(h:gettest(0)),
             ("nil | -1 | Already stopped:  (-1)"):rep(2), c[1] .. ": get and gettest again")
      end
    end
    t.eq(tostring(lacdc.istimeout(-4)) .. tostring(lacdc.istimeout(-2)) .. tostring(lacdc.istimeout(4)), "truefalsefalse", "istimeout")
  end},
  {"answered events never surface; out-of-range types get no reply", function()
    local h = d.ready()
    sim.push{type = T.close_post, id = 41, pid = 1}         -- no handler: error reply
    sim.push{type = T.open_pre, id = 42, pid = d.mypid}   -- own event: ignored
    sim.push{type = 0, id = 43}
    sim.push{type = 50, id = 44}
    t.eq(d.ev(h), nil, "nothing for Lua")
    local r = sim.replies()
    t.eq(#r .. " " .. table.concat({r[1].id, r[1].reply, r[1].eta, r[1].error, r[2].id, r[2].reply}, " "),
         ("2 41 %d 0 0 42 %d"):format(lacdc.REPLY_ERROR, lacdc.REPLY_IGNORE), "error, own event ignored")
    t.eq(t.count(lacdc.EventAbstractionStats()), 77, "EventAbstractionStats has 77 counters")
  end},
  {"gettest tables follow the attribute masks", function()
    local h = d.ready()
    local function one(ev) sim.push(ev) return assert(h:gettest(1000)) end
    local function fields(ev, keys) return (keys:gsub("%S+", function(k) return tostring(ev[k]) end)) end
    for _, c in ipairs {
      {{type = T.open_pre, id = 9, pid = 10, ppid = 11, tid = 12, missed = 3, execUid = 77, fd = -100, oldfd = 5,
        mode = 0x1ff, flags = 0x241, rc = -2, name = "/tmp/x"},
       "id pid ppid tid missed type execUid execGid dirfd mode flags name fd previd rc oldfd",
       "9 10 11 12 3 24 77 77 -100 511 577 /tmp/x nil nil nil nil"},
      {{type = T.rename_post, id = 9, fd = 3, oldfd = 4, rc = -2, oldname = "/old"}, "previd rc dirfd olddirfd oldname",
       "8 -2 3 4 /old"},
      {{type = 77, fd = 1, name = "x"}, "fd name tid", "nil nil 0"},
      {{type = T.open_pre, name = "/x", name_len = 0xFFFFFFF2}, "error name", "Fault nil"},
    } do
      t.eq(fields(one(c[1]), c[2]), c[3], "type " .. c[1].type)
    end
    sim.push{type = T.open_pre, name = "/x", name_len = 1025}
    t.raises("name length too large 1025", h.gettest, h, 1000)
    sim.pushraw(string.rep("\0", 8) .. string.char(30, 0, 0, 0, 5, 0, 0, 0))
    t.eq(fields(assert(h:gettest(1000)), "type id fd"), "30 5 0", "a short raw record reads zero-filled")
    t.eq(#sim.replies(), 0, "gettest never replies")
  end},
  {"logs: mode 0 none, mode 2 JSON lines only, mode 1 both; a faulted name empty", function()
    local h = d.ready()
    d.clearlogs()
    sim.push{type = T.close_post, id = 1, pid = 1}
    d.get(h, {log = 0})
    t.eq(d.readfile(d.eventslog) or d.readfile(d.debuglog), nil, "no log with mode 0")
    sim.replies()
    sim.push{type = 0, id = 2}
    sim.push{type = 50, id = 3}
    sim.push{type = T.close_post, id = 4, pid = 1, fd = 6, oldfd = -1, flags = 2, mode = 3, rc = 9}
    d.get(h, {log = 2})
    t.eq(d.readfile(d.debuglog), nil, "no debug log with mode 2")
    t.eq(d.readfile(d.eventslog), '{"error":"OUT_OF_RANGE","event":"NULL","event_num":0}\n' ..
      '{"error":"OUT_OF_RANGE","event":"","event_num":50}\n{"event":"","name":"","oldname":"","realpath":"","path":"",' ..
      '"fileName":"","fileExtension":"","size":0,"bind_action":1,"cache_type":-1,"isdrift":0,"newfilter":0,"processTypeIndex":0,' ..
      '"action_type":"NULL","action_type_str":"(null)","operationType":"(null)","newExtension":"","previousMode":0,' ..
      '"ruleset":"","pid":1, "rc":9,"fd":6,"dirfd":6,"oldfd":-1,"olddirfd":-1,"flags":2,"mode":3}\n', "JSON lines")
    d.clearlogs()
    sim.push{type = T.chown_pre, id = 5, pid = 1, name = "/etc/passwd"}
    sim.push{type = T.chown_pre, id = 7, pid = 1, name = "/x", name_len = 0xFFFFFFF2}
    d.get(h, {log = 1})
    local want = "==EVENT==\nrc=2136, ac_on=1, maintenanceMode=0, lockdown=0, basedir=, " ..
      "Event=AC_EVENT_CHOWN_PRE=36\nsys_name is /etc/passwd\nEVENT_CHOWN_PRE\nREPLY_IGNORE_EAGAIN\nReplying EAGAIN for \n\n"
    local dbg = d.readfile(d.debuglog)
    t.eq(dbg:sub(1, #want), want, "debug log of one event")
    t.eq(dbg:find("sys_name is \n", 1, true) ~= nil, true, "a faulted name is passed on empty")
    t.eq(#sim.replies() .. " " .. tostring(d.readfile(d.eventslog) ~= nil), "3 true", "all answered; JSON log too")
    d.clearlogs()
  end},
}
