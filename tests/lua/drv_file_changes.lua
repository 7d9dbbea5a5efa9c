-- Writes, closes, dups, permission changes, renames and unlinks followed by the
-- fast path over the simulated driver, against real processes and files.
local t, d = require "testlib", require "drvlib"
local sim, lacdc, T = d.sim, d.lacdc, d.T
local dir = d.workdir()
local O_CREAT, O_TRUNC, O_WRONLY = 0x40, 0x200, 0x1
local new_sh, app_log = d.write(dir .. "/new.sh"), d.write(dir .. "/app.log", "x", 420)
os.execute("mkdir -p /tmp/acengine-excluded && touch /tmp/acengine-excluded/x.sh")
-- The writer holds new.sh on descriptor 3, app.log on 4 and an excluded file on 6.
local writer = t.spawn_sleep(60, dir, "3>>" .. new_sh .. " 4>>" .. app_log .. " 6>>/tmp/acengine-excluded/x.sh")
local h = d.ready()
local function push(type, id, f) f = f or {}; f.type, f.id, f.pid = T[type], id, writer; sim.push(f) end
local function open_post(id, fd, name, flags, rc) push("open_post", id, {fd = fd, name = name, flags = flags, rc = rc or fd}) end
local function close_pre(id, fd) push("close_pre", id, {fd = fd}) end
-- The next event's fields ("id realpath"), or "none".
local function next_ev(o, keys)
  local ev = d.ev(h, o)
  return ev and (keys or ""):gsub("%S+", function(k) return tostring(ev[k]) end) or "none"
end
t.run {
  {"writes are tracked; closing a tracked script hands it to Lua as new content", function()
    lacdc.DriftClear()
    local c = d.counters()
    open_post(1, 3, new_sh, O_WRONLY + O_CREAT)
    open_post(2, 3, new_sh, O_WRONLY)
    open_post(3, 3, new_sh, O_TRUNC, -13)
    t.eq(next_ev() .. " " .. d.codes() .. " " .. c("open_post_eagain") .. " " .. lacdc.DriftStats().track,
         "none TRACKFILE IGNORE IGNORE 3 1", "create; no create or truncate; failed open")
    close_pre(10, 3)
    t.eq(next_ev(nil, "id bind_action action_type operationType isdrift realpath name"),
         ("10 %d %s nil true %s %s"):format(lacdc.REPLY_IGNORE, lacdc.TYPE_CREATE, new_sh, new_sh), "close")
    t.eq(d.codes() .. (c("quick_drift_filter") + c("close_pre_handoff") + c("lua_return")), "IGNORE3", "proceeds at once; counted")
    close_pre(11, 3)
    t.eq(next_ev() .. " " .. d.codes(), "none IGNORE", "untracked now")
  end},
  {"a tracked log without execute bits is filtered out unless its directory is monitored", function()
    open_post(20, 4, app_log, O_CREAT)
    close_pre(21, 4)
    local c = d.counters()
    t.eq(next_ev() .. " " .. d.codes() .. " " .. c("quick_filter_filter"), "none TRACKFILE IGNORE 1", "filtered")
    open_post(22, 4, app_log, O_CREAT)
    close_pre(23, 4)
    t.eq(next_ev({basedir = "/nowhere;" .. dir}, "realpath"), app_log, "monitored")
  end},
  {"excluded locations are ignored and counted apart", function()
    sim.replies()
    local c, bind = d.counters(), lacdc.BindStats().exclude_filter
    open_post(30, 6, "/tmp/acengine-excluded/x.sh", O_CREAT)
    lacdc.DriftOpen(writer, 6)
    close_pre(31, 6)
    t.eq(next_ev() .. " " .. d.codes(), "none IGNORE IGNORE", "open and close ignored")
    t.eq((lacdc.BindStats().exclude_filter - bind) .. " " .. c("ac_ignore"), "2 0", "exclude_filter, not ac_ignore")
  end},
  {"dups carry tracking; a dup onto a tracked descriptor reports it like a close", function()
    lacdc.DriftClear()
    open_post(40, 3, new_sh, O_CREAT)
    push("dup_pre", 41, {oldfd = 3, fd = 5})
    push("dup_post", 42, {oldfd = 3, fd = 5, rc = 5})
    push("dup_pre", 43, {oldfd = 7, fd = 8})
    t.eq(next_ev() .. " " .. d.codes(), "none TRACKFILE ALLOW TRACKFILE IGNORE",
         "open; dup of a tracked descriptor; new one tracked; untracked")
    push("dup_pre", 44, {oldfd = 4, fd = 3})  -- dup2(4, 3) closes tracked descriptor 3
    push("dup_post", 45, {oldfd = 4, fd = -100, rc = 3})
    t.eq(next_ev(nil, "id realpath bind_action action_type"), "45 " .. new_sh .. " nil " .. lacdc.TYPE_CREATE,
         "the captured name of the replaced descriptor")
  end},
  {"chmod and chown", function()
    sim.replies()
    local tool = d.write(dir .. "/tool2", "#!/bin/sh\n", 493)
    local c = d.counters()
    push("chmod_pre", 50, {fd = -100, name = tool})
    push("fchmod_pre", 51, {fd = 3})
    push("chmod_post", 52, {fd = -100, name = tool, rc = -1})
    push("chmod_post", 53, {fd = -100, name = tool, rc = 0})
    t.eq(next_ev(nil, "id operationType bind_action"), "53 update nil", "successful chmod to an executable mode")
    t.eq(d.codes() .. " " .. c("event_chmod_pre"), "IGNORE IGNORE IGNORE 2", "pre events, failed chmod; fchmod counted")
    push("chown_post", 54, {fd = -100, name = tool, rc = 0})
    t.eq(next_ev({basedir = ""}), "none", "chown: the drift filter does not apply")
    push("fchown_post", 55, {fd = 3, rc = 0})
    t.eq(next_ev({basedir = dir}, "operationType realpath"), "update " .. new_sh, "monitored, through the descriptor")
  end},
  {"rename and unlink", function()
    local notes = d.write(dir .. "/notes.txt")
    os.rename(notes, dir .. "/run.sh")
    push("rename_post", 60, {fd = -100, oldfd = -100, name = "run.sh", oldname = "notes.txt", rc = 0})
    t.eq(next_ev(nil, "operationType newExtension oldname realpath"), "rename sh " .. notes .. " " .. dir .. "/run.sh",
         "the new name with the old real path")
    push("rename_post", 61, {name = "a", oldname = "b", rc = -2})
    t.eq(next_ev(), "none", "failed rename ignored")
    push("unlinkat_post", 71, {fd = -100, name = dir .. "/gone.txt", rc = 0})
    t.eq(next_ev({basedir = dir}, "operationType newExtension"), "delete txt", "delete, extension of the name")
  end},
  {"too many untracked closes refresh the driver's filter", function()
    lacdc.DriftClear()
    open_post(80, 3, new_sh, O_CREAT)
    for i = 1, 256 do close_pre(1000 + i, 40) end
    t.eq(next_ev({timeout = 200}) .. " " .. #sim.commands(), "none 0", "256 untracked closes are not yet too many")
    close_pre(2000, 40)
    t.eq(next_ev(), "none", "answered")
    local cmds = sim.commands()
    t.eq(#cmds .. " " .. cmds[1] .. " " .. #cmds[2] .. " " .. cmds[2]:sub(1, 16) .. cmds[2]:byte(17),
         '2 "getfilefilter" 84 "setfilefilter"\0' .. "1", "get the filter, then set it with the id echoed")
    local pidbyte = 20 + math.floor((writer % 256) / 8) + 1
    t.eq(math.floor(cmds[2]:byte(pidbyte) / 2 ^ (writer % 8)) % 2, 1, "the writer's pid bit")
    t.eq(cmds[2]:byte(52 + 1) % 16 >= 8, true, "descriptor 3's bit")
    t.eq(lacdc.DriftStats().dirt, 0, "dirt reset")
  end},
}
h:close()
t.kill(writer)
os.execute("rm -rf " .. dir .. " /tmp/acengine-excluded")
