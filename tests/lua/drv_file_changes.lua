-- Writes, closes, dups, permission changes, renames and unlinks followed by the
-- fast path over the simulated driver, against real processes and files.
local t = require "testlib"
local d = require "drvlib"
local f = require "fastlib"
local sim, lacdc = d.sim, d.lacdc
local T = lacdc.type

local dir = f.workdir()
local O_CREAT, O_TRUNC, O_WRONLY = 0x40, 0x200, 0x1
local new_sh = f.write(dir .. "/new.sh")
local app_log = f.write(dir .. "/app.log", "x", 420)
os.execute("mkdir -p /tmp/acengine-excluded && touch /tmp/acengine-excluded/x.sh")
-- The writer holds new.sh on descriptor 3, app.log on 4 and an excluded file on 6.
local writer = t.spawn_sleep(60, dir, "3>>" .. new_sh .. " 4>>" .. app_log .. " 6>>/tmp/acengine-excluded/x.sh")
local h = d.ready()

local function open_post(id, fd, name, flags, rc)
  sim.push{type = T.open_post, id = id, pid = writer, fd = fd, name = name, flags = flags, rc = rc or fd}
end

local function close_pre(id, fd)
  sim.push{type = T.close_pre, id = id, pid = writer, fd = fd}
end

t.run {
  {"open for writing is tracked, other opens are ignored, nothing reaches Lua", function()
    lacdc.DriftClear()
    local c = f.counters()
    open_post(1, 3, new_sh, O_WRONLY + O_CREAT)
    open_post(2, 3, new_sh, O_WRONLY)
    open_post(3, 3, new_sh, O_TRUNC, -13)
    t.eq(f.get(h), nil, "opens never reach Lua")
    local r = sim.replies()
    t.eq(r[1].reply, lacdc.REPLY_TRACKFILE, "create: tracked")
    t.eq(r[2].reply, lacdc.REPLY_IGNORE, "no create or truncate")
    t.eq(r[3].reply, lacdc.REPLY_IGNORE, "failed open")
    t.eq(c("open_post_eagain"), 3, "open_post_eagain"); t.eq(c("ac_trackfile"), 1, "ac_trackfile")
    t.eq(lacdc.DriftStats().track, 1, "one tracked pair")
  end},

  {"closing a tracked script hands it to Lua as new content", function()
    local c = f.counters()
    close_pre(10, 3)
    local ev = assert(f.get(h, {ac_on = 1}))
    t.eq(ev.id, 10, "id")
    t.eq(ev.bind_action, lacdc.REPLY_IGNORE, "the close proceeds at once")
    t.eq(ev.action_type, lacdc.TYPE_CREATE, "possibly new executable content")
    t.eq(ev.operationType, nil, "no operation type for a close")
    t.eq(ev.isdrift, true, "tracked")
    t.eq(ev.realpath, new_sh, "resolved through the descriptor"); t.eq(ev.name, new_sh, "name")
    t.eq(c("quick_drift_filter"), 1, "quick_drift_filter"); t.eq(c("close_pre_handoff"), 1, "handoff")
    t.eq(c("lua_return"), 1, "lua_return")
    t.eq(f.reply().reply, lacdc.REPLY_IGNORE, "the reply that went with it")
    close_pre(11, 3)
    t.eq(f.get(h), nil, "untracked now")
    t.eq(f.reply().reply, lacdc.REPLY_IGNORE, "ignored")
  end},

  {"a tracked log without execute bits is filtered out", function()
    open_post(20, 4, app_log, O_CREAT)
    close_pre(21, 4)
    local c = f.counters()
    t.eq(f.get(h, {ac_on = 1, basedir = ""}), nil, "filtered")
    local r = sim.replies()
    t.eq(r[2].reply, lacdc.REPLY_IGNORE, "ignored")
    t.eq(c("quick_filter_filter"), 1, "quick_filter_filter"); t.eq(c("close_pre_eagain"), 1, "eagain")

    open_post(22, 4, app_log, O_CREAT)
    close_pre(23, 4)
    local ev = assert(f.get(h, {ac_on = 1, basedir = "/nowhere;" .. dir}))
    t.eq(ev.realpath, app_log, "a monitored directory lets it through")
  end},

  {"excluded locations are ignored and counted apart", function()
    sim.replies()
    local c = f.counters()
    open_post(30, 6, "/tmp/acengine-excluded/x.sh", O_CREAT)
    lacdc.DriftOpen(writer, 6)
    close_pre(31, 6)
    t.eq(f.get(h), nil, "excluded")
    local r = sim.replies()
    t.eq(r[1].reply, lacdc.REPLY_IGNORE, "open ignored"); t.eq(r[2].reply, lacdc.REPLY_IGNORE, "close ignored")
    t.eq(c("exclude_filter"), 2, "exclude_filter")
    t.eq(c("ac_ignore"), 0, "not counted as ignore replies")
    t.eq(c("open_post_eagain"), 1, "open eagain"); t.eq(c("close_pre_eagain"), 1, "close eagain")
  end},

  {"dups carry tracking; a dup onto a tracked descriptor reports it like a close", function()
    lacdc.DriftClear()
    open_post(40, 3, new_sh, O_CREAT)
    sim.push{type = T.dup_pre, id = 41, pid = writer, oldfd = 3, fd = 5}
    sim.push{type = T.dup_post, id = 42, pid = writer, oldfd = 3, fd = 5, rc = 5}
    sim.push{type = T.dup_pre, id = 43, pid = writer, oldfd = 7, fd = 8}
    t.eq(f.get(h), nil, "answered")
    local r = sim.replies()
    t.eq(r[2].reply, lacdc.REPLY_ALLOW, "dup of a tracked descriptor")
    t.eq(r[3].reply, lacdc.REPLY_TRACKFILE, "new descriptor tracked")
    t.eq(r[4].reply, lacdc.REPLY_IGNORE, "untracked dup")

    -- dup2(4, 3): descriptor 3 (new.sh, tracked) is closed implicitly
    sim.push{type = T.dup_pre, id = 44, pid = writer, oldfd = 4, fd = 3}
    sim.push{type = T.dup_post, id = 45, pid = writer, oldfd = 4, fd = -100, rc = 3}
    local ev = assert(f.get(h, {ac_on = 1}))
    t.eq(ev.id, 45, "dup-post handed to Lua")
    t.eq(ev.realpath, new_sh, "the captured name of the replaced descriptor")
    t.eq(ev.bind_action, nil, "no reply")
    t.eq(ev.action_type, lacdc.TYPE_CREATE, "new content")
  end},

  {"chmod and chown", function()
    sim.replies()
    local tool = f.write(dir .. "/tool2", "#!/bin/sh\n", 493)
    local c = f.counters()
    sim.push{type = T.chmod_pre, id = 50, pid = writer, fd = -100, name = tool}
    sim.push{type = T.fchmod_pre, id = 51, pid = writer, fd = 3}
    sim.push{type = T.chmod_post, id = 52, pid = writer, fd = -100, name = tool, rc = -1}
    sim.push{type = T.chmod_post, id = 53, pid = writer, fd = -100, name = tool, rc = 0}
    local ev = assert(f.get(h, {ac_on = 1}))
    t.eq(ev.id, 53, "successful chmod to an executable mode")
    t.eq(ev.operationType, "update", "update")
    t.eq(ev.bind_action, nil, "no reply")
    local r = sim.replies()
    t.eq(#r, 3, "pre events and the failed chmod answered")
    for i = 1, 3 do t.eq(r[i].reply, lacdc.REPLY_IGNORE, "ignored " .. i) end
    t.eq(c("event_chmod_pre"), 2, "fchmod counted as chmod")

    sim.push{type = T.chown_post, id = 54, pid = writer, fd = -100, name = tool, rc = 0}
    t.eq(f.get(h, {ac_on = 1, basedir = ""}), nil, "chown: the drift filter does not apply")
    sim.push{type = T.fchown_post, id = 55, pid = writer, fd = 3, rc = 0}
    ev = assert(f.get(h, {ac_on = 1, basedir = dir}))
    t.eq(ev.operationType, "update", "monitored directory")
    t.eq(ev.realpath, new_sh, "through the descriptor")
  end},

  {"rename hands the new name to Lua with the old real path", function()
    local notes = f.write(dir .. "/notes.txt")
    os.rename(notes, dir .. "/run.sh")
    sim.push{type = T.rename_post, id = 60, pid = writer, fd = -100, oldfd = -100, name = "run.sh",
             oldname = "notes.txt", rc = 0}
    local ev = assert(f.get(h, {ac_on = 1}))
    t.eq(ev.operationType, "rename", "rename")
    t.eq(ev.newExtension, "sh", "new extension")
    t.eq(ev.oldname, notes, "old real path")
    t.eq(ev.realpath, dir .. "/run.sh", "new real path")
    sim.push{type = T.rename_post, id = 61, pid = writer, name = "a", oldname = "b", rc = -2}
    t.eq(f.get(h), nil, "failed rename ignored")
  end},

  {"unlink goes to Lua only under a monitored directory", function()
    local c = f.counters()
    sim.push{type = T.unlink_post, id = 70, pid = writer, name = dir .. "/gone.txt", rc = 0}
    t.eq(f.get(h, {ac_on = 1, basedir = ""}), nil, "ignored")
    t.eq(c("unlink_post_eagain"), 1, "unlink_post_eagain")
    t.eq(c("total_events"), 0, "unlinks are not in total_events")
    sim.push{type = T.unlinkat_post, id = 71, pid = writer, fd = -100, name = dir .. "/gone.txt", rc = 0}
    local ev = assert(f.get(h, {ac_on = 1, basedir = dir}))
    t.eq(ev.operationType, "delete", "delete"); t.eq(ev.newExtension, "txt", "extension of the name")
    t.eq(c("event_unlink_post"), 2, "both counted"); t.eq(c("lua_return"), 0, "not in lua_return")
  end},

  {"too many untracked closes refresh the driver's filter", function()
    lacdc.DriftClear()
    open_post(80, 3, new_sh, O_CREAT)
    t.eq(f.get(h), nil, "tracked")
    sim.commands()
    for i = 1, 256 do close_pre(1000 + i, 40) end
    t.eq(f.get(h, {timeout = 200}), nil, "answered")
    t.eq(#sim.commands(), 0, "256 untracked closes are not yet too many")
    close_pre(2000, 40)
    t.eq(f.get(h), nil, "answered")
    local cmds = sim.commands()
    t.eq(#cmds, 2, "get the filter, then set it")
    t.eq(cmds[1], '"getfilefilter"', "ask for the filter")
    t.eq(#cmds[2], 84, "the fresh filter record")
    t.eq(cmds[2]:sub(1, 16), '"setfilefilter"\0', "command name")
    t.eq(cmds[2]:byte(17), 1, "filter id echoed")
    local pidbyte = 20 + math.floor((writer % 256) / 8) + 1
    t.eq(math.floor(cmds[2]:byte(pidbyte) / 2 ^ (writer % 8)) % 2, 1, "the writer's pid bit")
    t.eq(cmds[2]:byte(52 + 1) % 16 >= 8, true, "descriptor 3's bit")
    t.eq(lacdc.DriftStats().dirt, 0, "dirt reset")
  end},
}

h:close()
t.kill(writer)
os.execute("rm -rf " .. dir .. " /tmp/acengine-excluded")
