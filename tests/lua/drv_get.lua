-- Event retrieval over the simulated driver: waits and their failures,
-- fast-path answers, raw tables of gettest and the local logs.
local t = require "testlib"
local d = require "drvlib"
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
      t.eq(d.show(d.get(h, {timeout = 100})), c[3], c[1])
      t.eq(#sim.replies(), c[4], c[1] .. ": the queued event answered first (hang-up) or not read")
      t.eq(h:isdone(), c[5], c[1] .. ": stopped")
      if c[5] then
        t.eq(d.show(d.get(h, {timeout = 0})), "nil | -1 | Already stopped:  (-1)", c[1] .. ": get again")
        t.eq(d.show(h:gettest(0)), "nil | -1 | Already stopped:  (-1)", c[1] .. ": gettest too")
      end
    end
    t.eq(lacdc.istimeout(-4), true, "istimeout"); t.eq(lacdc.istimeout(-2), false, "not a timeout")
  end},

  {"answered events never surface; out-of-range types get no reply", function()
    local h = d.ready()
    sim.push{type = T.close_post, id = 41, pid = 1}         -- no handler: error reply
    sim.push{type = T.open_pre, id = 42, pid = d.mypid()}   -- own event: ignored
    sim.push{type = 0, id = 43}
    sim.push{type = 50, id = 44}
    t.eq(d.ev(h), nil, "nothing for Lua")
    local r = sim.replies()
    t.eq(#r, 2, "two replies")
    t.eq(r[1].id .. " " .. r[1].reply .. " " .. r[1].eta .. " " .. r[1].error, "41 " .. lacdc.REPLY_ERROR .. " 0 0", "error")
    t.eq(r[2].id .. " " .. r[2].reply, "42 " .. lacdc.REPLY_IGNORE, "own event ignored")
    local s = lacdc.EventAbstractionStats()
    t.eq(t.count(s), 77, "EventAbstractionStats has 77 counters")
    for _, k in ipairs {"event_open_pre", "link_post_eagain", "RunErrorNotExec"} do t.eq(type(s[k]), "number", k) end
  end},

  {"gettest tables follow the attribute masks; handles see their own records", function()
    local h = d.ready()
    local function one(ev) sim.push(ev) return assert(h:gettest(1000)) end
    local function has(ev, keys) for k in keys:gmatch("%S+") do t.eq(ev[k] ~= nil, true, "has " .. k) end end
    local function lacks(ev, keys) for k in keys:gmatch("%S+") do t.eq(ev[k], nil, "no " .. k) end end
    local ev = one{type = T.open_pre, id = 9, pid = 10, ppid = 11, tid = 12, missed = 3, execUid = 77,
                   fd = -100, oldfd = 5, mode = 0x1ff, flags = 0x241, rc = -2, name = "/tmp/x"}
    t.eq(table.concat({ev.id, ev.pid, ev.ppid, ev.tid, ev.missed, ev.type, ev.execUid, ev.execGid, ev.dirfd,
                       ev.mode, ev.flags, ev.name}, " "), "9 10 11 12 3 24 77 77 -100 511 577 /tmp/x", "open_pre")
    lacks(ev, "fd previd rc oldfd")
    ev = one{type = T.open_post, id = 9, rc = -2, name = "/tmp/y", fd = 3}
    t.eq(ev.previd, 8, "previd clears bit 0"); t.eq(ev.rc, -2, "signed rc")
    ev = one{type = T.rename_post, fd = 3, oldfd = 4, name = "/new", oldname = "/old"}
    t.eq(ev.dirfd .. " " .. ev.olddirfd .. " " .. ev.oldname, "3 4 /old", "rename_post: fd and oldfd as directories")
    has(one{type = 0, fd = 1, oldfd = 2, rc = 3, name = "all", oldname = "fields"},
        "previd rc fd dirfd oldfd olddirfd flags mode name oldname")
    ev = one{type = 77, fd = 1, name = "x"}
    lacks(ev, "fd name"); t.eq(ev.tid, 0, "types above 49: the common fields only")
    ev = one{type = T.open_pre, name = "/x", name_len = 0xFFFFFFF2}
    t.eq(ev.error, "Fault", "faulted name"); lacks(ev, "name")
    sim.push{type = T.open_pre, name = "/x", name_len = 1025}
    t.raises("name length too large 1025", h.gettest, h, 1000)
    sim.pushraw(string.rep("\0", 8) .. string.char(30, 0, 0, 0, 5, 0, 0, 0))
    ev = assert(h:gettest(1000))
    t.eq(ev.type .. " " .. ev.id .. " " .. ev.fd, "30 5 0", "a short raw record reads zero-filled")
    t.eq(#sim.replies(), 0, "gettest never replies")

    local h2 = assert(lacdc.open())
    sim.push({type = T.close_post, id = 100, pid = 1}, 1)
    sim.push({type = T.close_post, id = 200, pid = 1}, 2)
    t.eq(assert(h2:gettest(1000)).id, 200, "second handle")
    t.eq(assert(h:gettest(1000)).id, 100, "first handle")
  end},

  {"logs: mode 0 none, mode 2 JSON lines only, mode 1 both", function()
    local h = d.ready()
    d.clearlogs()
    sim.push{type = T.close_post, id = 1, pid = 1}
    d.get(h, {log = 0})
    t.eq(d.readfile(d.eventslog) or d.readfile(d.debuglog), nil, "no log with mode 0")

    sim.push{type = 0, id = 2}
    sim.push{type = 50, id = 3}
    sim.push{type = T.close_post, id = 4, pid = 1, fd = 6, oldfd = -1, flags = 2, mode = 3, rc = 9}
    d.get(h, {log = 2})
    t.eq(d.readfile(d.debuglog), nil, "no debug log with mode 2")
    t.eq(d.readfile(d.eventslog),
      '{"error":"OUT_OF_RANGE","event":"NULL","event_num":0}\n' ..
      '{"error":"OUT_OF_RANGE","event":"","event_num":50}\n' ..
      '{"event":"","name":"","oldname":"","realpath":"","path":"","fileName":"",' ..
      '"fileExtension":"","size":0,"bind_action":1,"cache_type":-1,"isdrift":0,"newfilter":0,' ..
      '"processTypeIndex":0,"action_type":"NULL","action_type_str":"(null)","operationType":"(null)",' ..
      '"newExtension":"","previousMode":0,"ruleset":"","pid":1, "rc":9,"fd":6,"dirfd":6,"oldfd":-1,' ..
      '"olddirfd":-1,"flags":2,"mode":3}\n', "JSON lines")

    d.clearlogs()
    sim.push{type = T.chown_pre, id = 5, pid = 1, name = "/etc/passwd"}
    d.get(h, {log = 1})
    local want = "==EVENT==\nrc=2136, ac_on=1, maintenanceMode=0, lockdown=0, basedir=, " ..
      "Event=AC_EVENT_CHOWN_PRE=36\nsys_name is /etc/passwd\n" ..
      "EVENT_CHOWN_PRE\nREPLY_IGNORE_EAGAIN\nReplying EAGAIN for \n\n"
    t.eq(d.readfile(d.debuglog):sub(1, #want), want, "debug log of one event")
    t.eq(d.exists(d.eventslog), true, "JSON log with mode 1")
    d.clearlogs()
  end},

  {"a faulted name is passed on empty", function()
    local h = d.ready()
    d.clearlogs()
    sim.push{type = T.chown_pre, id = 2, pid = 1, name = "/x", name_len = 0xFFFFFFF2}
    d.get(h, {log = 1})
    t.eq(d.readfile(d.debuglog):find("sys_name is \n", 1, true) ~= nil, true, "passed on empty")
    t.eq(#sim.replies(), 1, "answered")
    d.clearlogs()
  end},
}
