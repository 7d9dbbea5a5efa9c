-- Event retrieval over the simulated driver: waits, fast-path answers, raw
-- tables of gettest and the local logs.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc = d.sim, d.lacdc
local T = lacdc.type

local function timeout_result(r)
  t.eq(r[1], nil, "nil")
  t.eq(r[2], -4, "timeout status")
  t.eq(r[3], "poll(): Timeout (-4)", "timeout message")
end

t.run {
  {"get times out, and istimeout says so", function()
    local h = d.ready()
    local r = t.pack(d.get(h, 10))
    timeout_result(r)
    t.eq(lacdc.istimeout(r[2]), true, "istimeout")
    t.eq(h:isdone(), false, "a timeout does not stop the handle")
  end},

  {"answered events never surface; the reply goes to the driver", function()
    local h = d.ready()
    sim.push{type = T.close_post, id = 41, pid = 1}    -- no handler: error reply
    sim.push{type = T.open_pre, id = 42, pid = d.mypid()}   -- own event: ignored
    sim.push{type = 0, id = 43}                          -- out of range: dropped
    sim.push{type = 50, id = 44}
    local before = lacdc.EventAbstractionStats()
    timeout_result(t.pack(d.get(h, 50)))
    local replies = sim.replies()
    t.eq(#replies, 2, "two replies, none for out-of-range types")
    t.eq(replies[1].reply, lacdc.REPLY_ERROR, "unsupported type")
    t.eq(replies[1].id, 41, "by id")
    t.eq(replies[2].reply, lacdc.REPLY_IGNORE, "own event")
    t.eq(replies[2].id, 42, "by id")
    t.eq(replies[1].eta, 0, "eta 0")
    t.eq(replies[1].error, 0, "error 0")
    local after = lacdc.EventAbstractionStats()
    t.eq(after.event_not_handled - before.event_not_handled, 1, "event_not_handled")
    t.eq(after.total_events - before.total_events, 1, "own event is not counted")
    t.eq(after.ac_error - before.ac_error, 1, "ac_error")
    t.eq(after.ac_ignore - before.ac_ignore, 1, "ac_ignore")
  end},

  {"EventAbstractionStats has the 77 counters", function()
    local s = lacdc.EventAbstractionStats()
    t.eq(t.count(s), 77, "77 fields")
    t.eq(type(s.event_open_pre), "number", "first")
    t.eq(type(s.RunErrorNotExec), "number", "last")
    t.eq(type(s.link_post_eagain), "number", "57th")
  end},

  {"hang-up stops the handle once the queue is empty", function()
    local h = d.ready()
    sim.push{type = T.close_post, id = 1, pid = 1}
    sim.hangup()
    local r = t.pack(d.get(h, 1000))
    t.eq(r[2], -3, "disabled")
    t.eq(r[3], "poll(): Driver disabled (-3)", "message")
    t.eq(#sim.replies(), 1, "the queued event was answered first")
    t.eq(h:isdone(), true, "stopped")
    r = t.pack(d.get(h, 0))
    t.eq(r[2], -1, "refused")
    t.eq(r[3], "Already stopped:  (-1)", "already stopped message")
    r = t.pack(h:gettest(0))
    t.eq(r[3], "Already stopped:  (-1)", "gettest refuses too")
  end},

  {"shutdown wins over a ready event", function()
    local ch = sim.exitchannel()
    local h = d.ready(ch)
    sim.push{type = T.close_post, id = 7, pid = 1}
    sim.shutdown()
    local r = t.pack(d.get(h, 1000))
    t.eq(r[2], -2, "shutting down")
    t.eq(r[3], "poll(): Shutting down (-2)", "message")
    t.eq(#sim.replies(), 0, "the event was not read")
    t.eq(h:isdone(), true, "stopped")
  end},

  {"read and poll failures are reported, not raised", function()
    local h = d.ready()
    sim.push{type = T.close_post, id = 1, pid = 1}
    sim.fail("read", 5)
    local r = t.pack(d.get(h, 100))
    t.eq(r[2], 5, "EIO")
    t.eq(r[3], "get(): Input/output error (5)", "read failure message")
    sim.fail("poll", 4)
    r = t.pack(d.get(h, 100))
    t.eq(r[2], 4, "EINTR")
    t.eq(r[3], "poll(): Interrupted system call (4)", "poll failure message")
    t.eq(h:isdone(), false, "failures do not stop the handle")
  end},

  {"get checks its arguments", function()
    local h = d.ready()
    t.raises("number expected", h.get, h, 0, nil, 0, 0, "", 0, 0)
    t.raises("string expected", h.get, h, 0, 1, 0, 0, nil, 0, 0)
    t.raises("number expected", h.get, h, 0, 1, 0, 0, "", 0)
    t.raises("vava.handle expected", h.get, {}, 0, 1, 0, 0, "", 0, 0)
  end},

  {"gettest tables follow the attribute masks", function()
    local h = d.ready()
    local function one(ev)
      sim.push(ev)
      return assert(h:gettest(1000))
    end
    local ev = one{type = T.open_pre, id = 9, pid = 10, ppid = 11, tid = 12, missed = 3, execUid = 77,
                   fd = -100, oldfd = 5, mode = 0x1ff, flags = 0x241, rc = -2, name = "/tmp/x"}
    t.eq(ev.id, 9, "id"); t.eq(ev.pid, 10, "pid"); t.eq(ev.ppid, 11, "ppid")
    t.eq(ev.tid, 12, "tid"); t.eq(ev.missed, 3, "missed"); t.eq(ev.type, 24, "type")
    t.eq(ev.execUid, 77, "execUid"); t.eq(ev.execGid, 77, "execGid is execUid")
    t.eq(ev.dirfd, -100, "dirfd"); t.eq(ev.fd, nil, "no fd for open_pre")
    t.eq(ev.mode, 0x1ff, "mode"); t.eq(ev.flags, 0x241, "flags"); t.eq(ev.name, "/tmp/x", "name")
    t.eq(ev.previd, nil, "no previd on a pre event"); t.eq(ev.rc, nil, "no rc")
    t.eq(ev.oldfd, nil, "no oldfd")

    ev = one{type = T.open_post, id = 9, rc = -2, name = "/tmp/y", fd = 3}
    t.eq(ev.previd, 8, "previd clears bit 0"); t.eq(ev.rc, -2, "signed rc")

    ev = one{type = T.close_pre, fd = 4, name = "ignored"}
    t.eq(ev.fd, 4, "fd"); t.eq(ev.dirfd, nil, "no dirfd for close"); t.eq(ev.name, nil, "no name")

    ev = one{type = T.rename_post, fd = 3, oldfd = 4, name = "/new", oldname = "/old"}
    t.eq(ev.dirfd, 3, "dirfd"); t.eq(ev.olddirfd, 4, "olddirfd"); t.eq(ev.oldname, "/old", "oldname")

    ev = one{type = T.dup_pre, fd = 3, oldfd = 4, flags = 1}
    t.eq(ev.oldfd, 4, "oldfd"); t.eq(ev.flags, 1, "flags")

    ev = one{type = 0, fd = 1, oldfd = 2, rc = 3, name = "all", oldname = "fields"}
    for _, k in ipairs {"previd", "rc", "fd", "dirfd", "oldfd", "olddirfd", "flags", "mode", "name", "oldname"} do
      t.eq(ev[k] ~= nil, true, "type 0 has " .. k)
    end
    ev = one{type = 77, fd = 1, name = "x"}
    t.eq(ev.fd, nil, "types above 49 have only the common fields")
    t.eq(ev.tid, 0, "and the ids")

    ev = one{type = T.open_pre, name = "/x", name_len = 0xFFFFFFF2}
    t.eq(ev.error, "Fault", "faulted name")
    t.eq(ev.name, nil, "no name")

    sim.push{type = T.open_pre, name = "/x", name_len = 1025}
    t.raises("name length too large 1025", h.gettest, h, 1000)
    t.eq(#sim.replies(), 0, "gettest never replies")
  end},

  {"raw records of any size read as one record", function()
    local h = d.ready()
    sim.pushraw(string.rep("\0", 8) .. string.char(30, 0, 0, 0, 5, 0, 0, 0))
    local ev = assert(h:gettest(1000))
    t.eq(ev.type, 30, "short record is zero-filled")
    t.eq(ev.id, 5, "id")
    t.eq(ev.fd, 0, "fd")
  end},

  {"logs: mode 0 none, mode 2 JSON lines only, mode 1 both", function()
    local h = d.ready()
    d.clearlogs()
    sim.push{type = T.close_post, id = 1, pid = 1}
    d.get(h, 20, 0)
    t.eq(d.readfile(d.eventslog), nil, "no JSON log with mode 0")
    t.eq(d.readfile(d.debuglog), nil, "no debug log with mode 0")

    sim.push{type = 0, id = 2}
    sim.push{type = 50, id = 3}
    sim.push{type = T.close_post, id = 4, pid = 1, fd = 6, oldfd = -1, flags = 2, mode = 3, rc = 9}
    d.get(h, 20, 2)
    t.eq(d.readfile(d.debuglog), nil, "no debug log with mode 2")
    local lines = {}
    for l in io.lines(d.eventslog) do lines[#lines + 1] = l end
    t.eq(#lines, 3, "three lines")
    t.eq(lines[1], '{"error":"OUT_OF_RANGE","event":"NULL","event_num":0}', "type 0")
    t.eq(lines[2], '{"error":"OUT_OF_RANGE","event":"","event_num":50}', "type 50")
    t.eq(lines[3], '{"event":"","name":"","oldname":"","realpath":"","path":"","fileName":"",' ..
      '"fileExtension":"","size":0,"bind_action":1,"cache_type":-1,"isdrift":0,"newfilter":0,' ..
      '"processTypeIndex":0,"action_type":"NULL","action_type_str":"(null)","operationType":"(null)",' ..
      '"newExtension":"","previousMode":0,"ruleset":"","pid":1, "rc":9,"fd":6,"dirfd":6,"oldfd":-1,' ..
      '"olddirfd":-1,"flags":2,"mode":3}', "answered event")

    d.clearlogs()
    sim.push{type = T.chown_pre, id = 5, pid = 1, name = "/etc/passwd"}
    d.get(h, 20, 1)
    local dbg = d.readfile(d.debuglog)
    local want = "==EVENT==\nrc=2136, ac_on=1, maintenanceMode=0, lockdown=0, basedir=, " ..
      "Event=AC_EVENT_CHOWN_PRE=36\nsys_name is /etc/passwd\n" ..
      "EVENT_CHOWN_PRE\nREPLY_IGNORE_EAGAIN\nReplying EAGAIN for \n\n"
    t.eq(dbg:sub(1, #want), want, "debug log of one event")
    t.eq(d.readfile(d.eventslog) ~= nil, true, "JSON log with mode 1")
    d.clearlogs()
  end},

  {"a name length beyond the record's field never reads past it", function()
    local h = d.ready()
    d.clearlogs()
    local name = string.rep("n", 1024)
    sim.push{type = T.chown_pre, id = 1, pid = 1, name = name, name_len = 4000}
    sim.push{type = T.chown_pre, id = 2, pid = 1, name = "/x", name_len = 0xFFFFFFF2}
    d.get(h, 20, 1)
    local dbg = d.readfile(d.debuglog)
    t.eq(dbg:match("sys_name is (n*)\n"), name, "copy bounded to the 1024-byte field")
    t.eq(dbg:find("sys_name is \n", 1, true) ~= nil, true, "a faulted name is passed on empty")
    t.eq(#sim.replies(), 2, "both answered")
    d.clearlogs()
  end},

  {"several handles each see their own events", function()
    local h1 = d.ready()
    local h2 = assert(lacdc.open())
    sim.push({type = T.close_post, id = 100, pid = 1}, 1)
    sim.push({type = T.close_post, id = 200, pid = 1}, 2)
    local e2 = assert(h2:gettest(1000))
    local e1 = assert(h1:gettest(1000))
    t.eq(e1.id, 100, "first handle")
    t.eq(e2.id, 200, "second handle")
  end},
}
