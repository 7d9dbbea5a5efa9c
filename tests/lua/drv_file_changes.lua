-- Writes, closes, dups, permission changes, renames and unlinks followed by the
-- fast path over the simulated driver, against real processes and files.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc, T = d.sim, d.lacdc, d.T

local dir = d.workdir()
local O_CREAT, O_TRUNC, O_WRONLY = 0x40, 0x200, 0x1
local new_sh = d.write(dir .. "/new.sh")
local app_log = d.write(dir .. "/app.log", "x", 420)
os.execute("mkdir -p /tmp/acengine-excluded && touch /tmp/acengine-excluded/x.sh")
-- The writer holds new.sh on descriptor 3, app.log on 4 and an excluded file on 6.
local writer = t.spawn_sleep(60, dir, "3>>" .. new_sh .. " 4>>" .. app_log .. " 6>>/tmp/acengine-excluded/x.sh")
local h = d.ready()

local function push(type, id, fields)
  fields = fields or {}
  fields.type, fields.id, fields.pid = T[type], id, writer
  sim.push(fields)
end
local function open_post(id, fd, name, flags, rc)
  push("open_post", id, {fd = fd, name = name, flags = flags, rc = rc or fd})
end
local function close_pre(id, fd) push("close_pre", id, {fd = fd}) end

t.run {
  {"open for writing is tracked, other opens are ignored, nothing reaches Lua", function()
    lacdc.DriftClear()
    local c = d.counters()
    open_post(1, 3, new_sh, O_WRONLY + O_CREAT)
    open_post(2, 3, new_sh, O_WRONLY)
    open_post(3, 3, new_sh, O_TRUNC, -13)
    t.eq(d.ev(h), nil, "opens never reach Lua")
    t.eq(d.codes(), "TRACKFILE IGNORE IGNORE", "create; no create or truncate; failed open")
    t.eq(c("open_post_eagain"), 3, "open_post_eagain")
    t.eq(lacdc.DriftStats().track, 1, "one tracked pair")
  end},

  {"closing a tracked script hands it to Lua as new content", function()
    local c = d.counters()
    close_pre(10, 3)
    local ev = assert(d.ev(h))
    t.eq(ev.id, 10, "id")
    t.eq(ev.bind_action, lacdc.REPLY_IGNORE, "the close proceeds at once")
    t.eq(d.reply().reply, lacdc.REPLY_IGNORE, "the reply that went with it")
    t.eq(ev.action_type, lacdc.TYPE_CREATE, "possibly new executable content")
    t.eq(ev.operationType, nil, "no operation type for a close")
    t.eq(ev.isdrift, true, "tracked")
    t.eq(ev.realpath .. " " .. ev.name, new_sh .. " " .. new_sh, "resolved through the descriptor")
    t.eq(c("quick_drift_filter") + c("close_pre_handoff") + c("lua_return"), 3, "counted as handed over")
    close_pre(11, 3)
    t.eq(d.ev(h), nil, "untracked now")
    t.eq(d.codes(), "IGNORE", "ignored")
  end},

  {"a tracked log without execute bits is filtered out unless its directory is monitored", function()
    open_post(20, 4, app_log, O_CREAT)
    close_pre(21, 4)
    local c = d.counters()
    t.eq(d.ev(h, {basedir = ""}), nil, "filtered")
    t.eq(d.codes(), "TRACKFILE IGNORE", "ignored")
    t.eq(c("quick_filter_filter"), 1, "quick_filter_filter")
    open_post(22, 4, app_log, O_CREAT)
    close_pre(23, 4)
    t.eq(d.ev(h, {basedir = "/nowhere;" .. dir}).realpath, app_log, "monitored")
  end},

  {"excluded locations are ignored and counted apart", function()
    sim.replies()
    local c = d.counters()
    open_post(30, 6, "/tmp/acengine-excluded/x.sh", O_CREAT)
    lacdc.DriftOpen(writer, 6)
    close_pre(31, 6)
    t.eq(d.ev(h), nil, "excluded")
    t.eq(d.codes(), "IGNORE IGNORE", "open and close ignored")
    t.eq(c("exclude_filter") .. " " .. c("ac_ignore"), "2 0", "exclude_filter, not ac_ignore")
  end},

  {"dups carry tracking; a dup onto a tracked descriptor reports it like a close", function()
    lacdc.DriftClear()
    open_post(40, 3, new_sh, O_CREAT)
    push("dup_pre", 41, {oldfd = 3, fd = 5})
    push("dup_post", 42, {oldfd = 3, fd = 5, rc = 5})
    push("dup_pre", 43, {oldfd = 7, fd = 8})
    t.eq(d.ev(h), nil, "answered")
    t.eq(d.codes(), "TRACKFILE ALLOW TRACKFILE IGNORE", "open; dup of a tracked descriptor; new one tracked; untracked")
    -- dup2(4, 3): descriptor 3 (new.sh, tracked) is closed implicitly
    push("dup_pre", 44, {oldfd = 4, fd = 3})
    push("dup_post", 45, {oldfd = 4, fd = -100, rc = 3})
    local ev = assert(d.ev(h))
    t.eq(ev.id, 45, "dup-post handed to Lua")
    t.eq(ev.realpath, new_sh, "the captured name of the replaced descriptor")
    t.eq(ev.bind_action, nil, "no reply")
    t.eq(ev.action_type, lacdc.TYPE_CREATE, "new content")
  end},

  {"chmod and chown", function()
    sim.replies()
    local tool = d.write(dir .. "/tool2", "#!/bin/sh\n", 493)
    local c = d.counters()
    push("chmod_pre", 50, {fd = -100, name = tool})
    push("fchmod_pre", 51, {fd = 3})
    push("chmod_post", 52, {fd = -100, name = tool, rc = -1})
    push("chmod_post", 53, {fd = -100, name = tool, rc = 0})
    local ev = assert(d.ev(h))
    t.eq(ev.id .. " " .. ev.operationType, "53 update", "successful chmod to an executable mode")
    t.eq(ev.bind_action, nil, "no reply")
    t.eq(d.codes(), "IGNORE IGNORE IGNORE", "pre events and the failed chmod")
    t.eq(c("event_chmod_pre"), 2, "fchmod counted as chmod")
    push("chown_post", 54, {fd = -100, name = tool, rc = 0})
    t.eq(d.ev(h, {basedir = ""}), nil, "chown: the drift filter does not apply")
    push("fchown_post", 55, {fd = 3, rc = 0})
    ev = assert(d.ev(h, {basedir = dir}))
    t.eq(ev.operationType .. " " .. ev.realpath, "update " .. new_sh, "monitored directory, through the descriptor")
  end},

  {"rename hands the new name to Lua with the old real path", function()
    local notes = d.write(dir .. "/notes.txt")
    os.rename(notes, dir .. "/run.sh")
    push("rename_post", 60, {fd = -100, oldfd = -100, name = "run.sh", oldname = "notes.txt", rc = 0})
    local ev = assert(d.ev(h))
    t.eq(table.concat({ev.operationType, ev.newExtension, ev.oldname, ev.realpath}, " "),
         "rename sh " .. notes .. " " .. dir .. "/run.sh", "rename")
    push("rename_post", 61, {name = "a", oldname = "b", rc = -2})
    t.eq(d.ev(h), nil, "failed rename ignored")
  end},

  {"unlink goes to Lua only under a monitored directory", function()
    push("unlink_post", 70, {name = dir .. "/gone.txt", rc = 0})
    t.eq(d.ev(h, {basedir = ""}), nil, "ignored")
    push("unlinkat_post", 71, {fd = -100, name = dir .. "/gone.txt", rc = 0})
    local ev = assert(d.ev(h, {basedir = dir}))
    t.eq(ev.operationType .. " " .. ev.newExtension, "delete txt", "delete, extension of the name")
  end},

  {"too many untracked closes refresh the driver's filter", function()
    lacdc.DriftClear()
    open_post(80, 3, new_sh, O_CREAT)
    t.eq(d.ev(h), nil, "tracked")
    sim.commands()
    for i = 1, 256 do close_pre(1000 + i, 40) end
    t.eq(d.ev(h, {timeout = 200}), nil, "answered")
    t.eq(#sim.commands(), 0, "256 untracked closes are not yet too many")
    close_pre(2000, 40)
    t.eq(d.ev(h), nil, "answered")
    local cmds = sim.commands()
    t.eq(#cmds .. " " .. cmds[1], '2 "getfilefilter"', "get the filter, then set it")
    t.eq(#cmds[2] .. " " .. cmds[2]:sub(1, 16) .. cmds[2]:byte(17), '84 "setfilefilter"\0' .. "1",
         "the fresh filter record with the id echoed")
    local pidbyte = 20 + math.floor((writer % 256) / 8) + 1
    t.eq(math.floor(cmds[2]:byte(pidbyte) / 2 ^ (writer % 8)) % 2, 1, "the writer's pid bit")
    t.eq(cmds[2]:byte(52 + 1) % 16 >= 8, true, "descriptor 3's bit")
    t.eq(lacdc.DriftStats().dirt, 0, "dirt reset")
  end},
}

h:close()
t.kill(writer)
os.execute("rm -rf " .. dir .. " /tmp/acengine-excluded")
