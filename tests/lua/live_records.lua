-- Live mode of the simulated driver, seen as raw records (gettest): what real
-- operations on a watched tmpfs become, how permission events are held and
-- answered, and what the live mode refuses to watch.
local t = require "testlib"
local L = require "livelib"
local sim, lacdc = L.sim, L.lacdc
local T = lacdc.type

local dir = L.mount()
local h = L.ready()
local tool = dir .. "/tool"
os.execute("cp /usr/bin/true " .. tool)

local function ops(args) return L.start(L.ops .. " " .. args) end

-- Answers every held record of `list` with code (permission records only).
local function answer(list, code)
  for _, ev in ipairs(list) do
    if ev.type == T.execve_pre or ev.type == T.open_pre or ev.type == T.open_post then h:reply(ev, code) end
  end
end

L.run(dir, {
  {"refuses anything but a tmpfs mount point of its own", function()
    t.raises("refusing to watch /", sim.live, {mount = "/"})
    t.raises("is not a tmpfs", sim.live, {mount = t.build})
    os.execute("mkdir -p " .. dir .. "/sub")
    t.raises("is not a mount point", sim.live, {mount = dir .. "/sub"})
    local bind = L.sh("mktemp -d /run/aclive.XXXXXX"):match("[^\n]+")
    os.execute("mount --bind " .. dir .. " " .. bind)
    t.raises("mounted elsewhere too", sim.live, {mount = dir})
    os.execute("umount " .. bind .. "; rmdir " .. bind)
    if L.sh("stat -f -c %T /dev/shm 2>/dev/null") == "tmpfs\n" then
      -- the machine's /dev/shm, copied into this namespace by unshare
      t.raises("mounted outside this mount namespace", sim.live, {mount = "/dev/shm"})
    end
    t.raises("timeout_ms must be", sim.live, {mount = dir, timeout_ms = 0})
    t.raises("field 'mount'", sim.live, {})
    t.eq(sim.live().on, false, "still off")
    t.eq(sim.live(false), 0, "stopping when off")
    sim.live{mount = dir}
    t.raises("on already", sim.live, {mount = dir})
    local st = sim.live()
    t.eq(st.on, true, "on"); t.eq(st.mount, dir, "mount"); t.eq(st.timeout_ms, 2000, "default timeout")
    t.eq(sim.live(false), 0, "nothing held")
  end},

  {"an exec is an exec-pre record held until the reply", function()
    sim.live{mount = dir}
    local c = L.counters()
    local job = ops("exec " .. tool)
    local recs
    repeat recs = L.records(h, 100) until #recs > 0
    t.eq(#recs, 1, "one record")
    local ev = recs[1]
    t.eq(ev.type, T.execve_pre, "exec-pre"); t.eq(ev.name, tool, "name")
    t.eq(ev.dirfd, -100, "fd -100"); t.eq(ev.tid, ev.pid, "tid")
    t.eq(ev.execUid, 0, "uid"); t.eq(ev.id >= 0x40000001, true, "live id")
    t.eq(ev.ppid > 1 and ev.pid ~= ev.ppid, true, "parent")
    os.execute("sleep 0.1")
    t.eq(job:done(), false, "the exec waits")
    t.eq(sim.live().held, 1, "held")
    h:reply(ev, lacdc.REPLY_ALLOW)
    L.wait(job)
    t.eq(job.out:match("^ok"), "ok", "the program ran: " .. job.out)
    t.eq(c("followups"), 1, "the exec's own open made no record")
    t.eq(#L.records(h, 50), 0, "nothing else")
    t.eq(c("replied"), 1, "replied"); t.eq(c("allowed"), 2, "exec and its open allowed")
  end},

  {"a blocked exec fails with EPERM", function()
    local c = L.counters()
    local job = ops("exec " .. tool)
    local recs
    repeat recs = L.records(h, 100) until #recs > 0
    h:reply(recs[1], lacdc.REPLY_BLOCK)
    L.wait(job)
    t.eq(job.out, "error EPERM\n", "denied")
    t.eq(c("denied"), 1, "denied"); t.eq(c("followups"), 0, "no open follows")
  end},

  {"a read open is an open-pre record with the call's flags", function()
    local f = io.open(dir .. "/data.txt", "w"); f:write("data\n"); f:close()  -- own process: not held
    L.records(h, 50)
    local job = ops("open " .. dir .. "/data.txt")
    local recs
    repeat recs = L.records(h, 100) until #recs > 0
    local ev = recs[1]
    t.eq(ev.type, T.open_pre, "open-pre"); t.eq(ev.name, dir .. "/data.txt", "name")
    t.eq(ev.flags, 0x80000, "O_RDONLY | O_CLOEXEC"); t.eq(ev.dirfd, -100, "fd -100")
    h:reply(ev, lacdc.REPLY_IGNORE)
    L.wait(job)
    t.eq(job.out:match("^ok"), "ok", "opened")
    t.eq(#L.records(h, 50), 0, "a read makes no open-post and no close")
  end},

  {"a write: open-pre, open-post and close-pre share one synthetic descriptor", function()
    local path = dir .. "/new.sh"
    local c = L.counters()
    local job = ops("write " .. path .. " 'echo new' 500")
    local recs
    repeat recs = L.records(h, 100) until #recs > 0
    local pre = recs[1]
    t.eq(pre.type, T.open_pre, "open-pre first")
    t.eq(pre.flags, 0x80241, "O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC"); t.eq(pre.mode, 420, "mode 0644")
    h:reply(pre, lacdc.REPLY_ALLOW)
    repeat recs = L.records(h, 100) until #recs > 0
    local post = recs[1]
    t.eq(post.type, T.open_post, "open-post after the allow")
    t.eq(post.name, path, "name"); t.eq(post.flags, 0x80241, "flags"); t.eq(post.pid, pre.pid, "same process")
    t.eq(post.dirfd >= 0x40000000, true, "synthetic descriptor"); t.eq(post.rc, post.dirfd, "rc is the descriptor")
    os.execute("sleep 0.05")
    t.eq(job:done(), false, "the open waits for the open-post's reply")
    t.eq(lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd), path, "/proc/<pid>/fd/<synthetic> reads the file")
    h:reply(post, lacdc.REPLY_TRACKFILE)
    repeat recs = L.records(h, 100) until #recs > 0
    local close = recs[1]
    t.eq(close.type, T.close_pre, "close-pre"); t.eq(close.fd, post.dirfd, "the same descriptor")
    t.eq(close.pid, pre.pid, "same process")
    L.wait(job)
    t.eq(job.out:match("^ok"), "ok", "written")
    t.eq(c("open_pre"), 1, "open_pre"); t.eq(c("open_post"), 1, "open_post"); t.eq(c("close_pre"), 1, "close_pre")
    t.eq(sim.live().sessions, 0, "the open is closed")
    local nodesc = select(2, lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd + 1000))
    t.eq(type(nodesc), "number", "an unknown synthetic descriptor does not resolve")
  end},

  {"repeated writes: every close follows its own open, in order", function()
    local path = dir .. "/again.txt"
    local f = io.open(path, "w"); f:write("x\n"); f:close()  -- own process: not held
    L.records(h, 50)
    local job = ops("openw " .. path .. " 20")
    local all = {}
    local limit = os.time() + 20
    while not job:done() or #all == 0 or all[#all].type ~= T.close_pre do
      assert(os.time() <= limit, "the closes did not come: " .. tostring(job.out))
      for _, ev in ipairs(L.records(h, 20)) do
        all[#all + 1] = ev
        if ev.type == T.open_pre or ev.type == T.open_post then h:reply(ev, lacdc.REPLY_ALLOW) end
      end
    end
    t.eq(job.out:match("^ok 20"), "ok 20", "twenty opens")
    t.eq(#all, 60, "open-pre, open-post and close-pre for each")
    for i = 1, 60, 3 do
      t.eq(all[i].type, T.open_pre, "open-pre " .. i)
      t.eq(all[i + 1].type, T.open_post, "open-post " .. i)
      t.eq(all[i + 2].type, T.close_pre, "close-pre " .. i)
      t.eq(all[i + 2].fd, all[i + 1].dirfd, "its own descriptor " .. i)
    end
    t.eq(sim.live().sessions, 0, "nothing left open")
  end},

  {"chmod, rename and unlink are post records with names", function()
    local a, b = dir .. "/a.sh", dir .. "/b.sh"
    local f = io.open(a, "w"); f:write("x\n"); f:close()
    L.records(h, 50)
    local job = ops("chmod " .. a .. " 755")
    L.wait(job)
    local recs = L.records(h, 100)
    local ev = L.find(recs, T.chmod_post)
    t.eq(ev and ev.name, a, "chmod-post"); t.eq(ev.mode % 4096, 493, "mode 0755"); t.eq(ev.rc, 0, "rc")
    t.eq(ev.dirfd, -100, "fd -100"); t.eq(ev.pid > 0 and ev.pid ~= L.mypid(), true, "the process")

    L.wait(ops("rename " .. a .. " " .. b))
    recs = L.records(h, 100)
    ev = L.find(recs, T.rename_post)
    t.eq(ev and ev.oldname, a, "old name"); t.eq(ev.name, b, "new name"); t.eq(ev.rc, 0, "rc")
    t.eq(ev.dirfd, -100, "fd -100"); t.eq(ev.olddirfd, -100, "old fd -100")

    L.wait(ops("unlink " .. b))
    recs = L.records(h, 100)
    ev = L.find(recs, T.unlink_post)
    t.eq(ev and ev.name, b, "unlink-post"); t.eq(ev.rc, 0, "rc")
  end},

  {"own-process opens are allowed at once and still reported", function()
    local c = L.counters()
    local t0 = os.clock()
    local f = assert(io.open(dir .. "/own.txt", "w")); f:write("own\n"); f:close()
    f = assert(io.open(dir .. "/own.txt")); f:read("*a"); f:close()
    t.eq(c("own"), 2, "two own opens allowed at once"); t.eq(c("timeouts"), 0, "no wait")
    local recs = L.records(h, 100)
    t.eq(L.find(recs, T.open_pre).pid, L.mypid(), "reported with the engine's pid")
    answer(recs, lacdc.REPLY_ALLOW)
  end},

  {"a held event is allowed after timeout_ms without a reply", function()
    sim.live(false)
    sim.live{mount = dir, timeout_ms = 300}
    local c = L.counters()
    local job = L.wait(ops("exec " .. tool))
    t.eq(job.out:match("^ok"), "ok", "ran after the timeout")
    t.eq(c("timeouts"), 1, "one timeout"); t.eq(c("replied"), 0, "no reply")
    local recs = L.records(h, 50)
    t.eq(#recs, 1, "the record is still queued")
    h:reply(recs[1], lacdc.REPLY_BLOCK)  -- too late: changes nothing
    t.eq(c("denied"), 0, "a late reply denies nothing")
  end},

  {"stopping allows every held event", function()
    sim.live(false)
    sim.live{mount = dir, timeout_ms = 20000}
    local job = ops("exec " .. tool)
    for _ = 1, 500 do
      if sim.live().held == 1 then break end
      os.execute("sleep 0.01")
    end
    t.eq(sim.live().held, 1, "held")
    t.eq(sim.live(false), 1, "one allowed by the stop")
    L.wait(job, 5)
    t.eq(job.out:match("^ok"), "ok", "ran")
    L.records(h, 50)
  end},

  {"records go to the handle asked for", function()
    local h2 = assert(lacdc.open())  -- handle 2, the newest
    sim.live{mount = dir, handle = 1}
    t.eq(sim.live().handle, 1, "handle 1")
    local job = ops("open " .. dir .. "/data.txt")
    local recs
    repeat recs = L.records(h, 100) until #recs > 0
    t.eq(recs[1].type, T.open_pre, "on handle 1")
    h:reply(recs[1], lacdc.REPLY_ALLOW)
    L.wait(job)
    t.eq(h2:gettest(50), nil, "nothing on handle 2")
    sim.live(false)
    h2:close()
  end},

  {"reset stops the live mode", function()
    sim.live{mount = dir}
    sim.reset()
    t.eq(sim.live().on, false, "off")
    sim.setup{hook = true, driver = true, node = true}
    h = assert(lacdc.open())
  end},

  {"without a handle, events are allowed at once", function()
    h:close()
    sim.live{mount = dir}
    local c = L.counters()
    local job = L.wait(ops("exec " .. tool), 5)
    t.eq(job.out:match("^ok"), "ok", "ran")
    t.eq(c("unqueued"), 1, "unqueued"); t.eq(c("timeouts"), 0, "no timeout")
    sim.live(false)
  end},
})
