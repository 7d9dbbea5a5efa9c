-- Live mode of the simulated driver, seen as raw records (gettest): what real
-- operations on a watched tmpfs become, how permission events are held and
-- answered, and what the live mode refuses to watch.
local t, L = require "testlib", require "livelib"
local sim, lacdc, T = L.sim, L.lacdc, L.T
local dir = L.mount()
local h = L.ready()
local tool = dir .. "/tool"
os.execute("cp /usr/bin/true " .. tool .. " && mkdir " .. dir .. "/sub")
local function ops(args) return L.start(L.ops .. " " .. args) end
local function line(ev, keys) return (keys:gsub("%S+", function(k) return tostring(ev[tonumber(k) or k]) end)) end

L.run(dir, {
  {"refuses anything but a tmpfs mount point of its own", function()
    local bind = t.sh("mktemp -d /run/aclive.XXXXXX"):match("[^\n]+")
    os.execute("mount --bind " .. dir .. " " .. bind)
    t.raise_all {{"refusing to watch /", sim.live, {mount = "/"}}, {"is not a tmpfs", sim.live, {mount = t.build}},
                 {"is not a mount point", sim.live, {mount = dir .. "/sub"}}, {"mounted elsewhere too", sim.live, {mount = dir}}}
    os.execute("umount " .. bind .. "; rmdir " .. bind)
    t.raise_all {{"timeout_ms must be", sim.live, {mount = dir, timeout_ms = 0}}, {"field 'mount'", sim.live, {}}}
    t.eq(tostring(sim.live().on) .. " " .. sim.live(false), "false 0", "still off; stopping when off")
    sim.live{mount = dir}
    t.raises("on already", sim.live, {mount = dir})
    t.eq(line(sim.live(), "on mount timeout_ms"), "true " .. dir .. " 2000", "on, default timeout")
  end},
  {"an exec is held until the reply: allowed it runs, blocked it fails with EPERM", function()
    for _, c in ipairs {{lacdc.REPLY_ALLOW, "^ok", "1 1 2 0"}, {lacdc.REPLY_BLOCK, "^error EPERM\n$", "0 1 0 1"}} do
      local cnt = L.counters()
      local job = ops("exec " .. tool)
      local recs = L.next(h)
      local ev = recs[1]
      t.eq(#recs .. " " .. line(ev, "type name dirfd execUid"), "1 " .. T.execve_pre .. " " .. tool .. " -100 0", "exec-pre")
      t.eq(ev.tid == ev.pid and ev.ppid > 1 and ev.pid ~= ev.ppid and ev.id >= 0x40000001, true, "ids")
      os.execute("sleep 0.1")
      t.eq(tostring(job:done()) .. " " .. sim.live().held, "false 1", "the exec waits")
      h:reply(ev, c[1])
      t.eq(L.wait(job).out:match(c[2]) ~= nil, true, "outcome: " .. job.out)
      t.eq(#L.records(h, 50), 0, "nothing else")
      t.eq(cnt("followups") .. " " .. cnt("replied") .. " " .. cnt("allowed") .. " " .. cnt("denied"), c[3], "counters")
    end
  end},
  {"a write is open-pre, open-post and close-pre on one synthetic descriptor", function()
    local path = t.writefile(dir .. "/again.txt", "x\n")  -- own process: not held
    L.records(h, 50)
    local job = ops("openw " .. path)
    local pre = L.next(h)[1]
    t.eq(line(pre, "type flags"), T.open_pre .. " " .. 0x80201, "open-pre: O_WRONLY | O_TRUNC | O_CLOEXEC")
    h:reply(pre, lacdc.REPLY_ALLOW)
    local post = L.next(h)[1]
    t.eq(line(post, "type name flags pid"), line({T.open_post, path, 0x80201, pre.pid}, "1 2 3 4"), "open-post")
    t.eq(post.dirfd >= 0x40000000 and post.rc == post.dirfd, true, "rc is the synthetic descriptor")
    t.eq(lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd), path, "/proc/<pid>/fd/<synthetic> reads the file")
    t.eq(type(select(2, lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd + 1000))), "number", "unknown descriptor")
    h:reply(post, lacdc.REPLY_TRACKFILE)
    local close = L.next(h)[1]
    t.eq(line(close, "type fd pid"), line({T.close_pre, post.dirfd, pre.pid}, "1 2 3"), "close-pre")
    t.eq(L.wait(job).out:match("^ok 1") .. " " .. sim.live().sessions, "ok 1 0", "done, nothing left open")
  end},
  {"a held event is allowed after timeout_ms", function()
    sim.live(false)
    sim.live{mount = dir, timeout_ms = 300}
    local c = L.counters()
    t.eq(L.wait(ops("exec " .. tool)).out:match("^ok") .. " " .. c("timeouts") .. " " .. c("replied"), "ok 1 0", "ran")
  end},
})
