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
local function own_write(path) local f = assert(io.open(path, "w")); f:write("x\n"); f:close() end

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
    t.eq(tostring(st.on) .. " " .. st.mount .. " " .. st.timeout_ms, "true " .. dir .. " 2000", "on, default timeout")
    t.eq(sim.live(false), 0, "nothing held")
  end},

  {"an exec is an exec-pre record held until the reply: allowed it runs, blocked it fails with EPERM", function()
    sim.live{mount = dir}
    for _, c in ipairs {
      {lacdc.REPLY_ALLOW, "^ok", {followups = 1, replied = 1, allowed = 2, denied = 0}},  -- the exec's own open too
      {lacdc.REPLY_BLOCK, "^error EPERM\n$", {followups = 0, replied = 1, allowed = 0, denied = 1}},
    } do
      local cnt = L.counters()
      local job = ops("exec " .. tool)
      local recs = L.next(h)
      t.eq(#recs, 1, "one record")
      local ev = recs[1]
      t.eq(ev.type .. " " .. ev.name .. " " .. ev.dirfd, T.execve_pre .. " " .. tool .. " -100", "exec-pre")
      t.eq(ev.tid, ev.pid, "tid"); t.eq(ev.execUid, 0, "uid"); t.eq(ev.id >= 0x40000001, true, "live id")
      t.eq(ev.ppid > 1 and ev.pid ~= ev.ppid, true, "parent")
      os.execute("sleep 0.1")
      t.eq(job:done(), false, "the exec waits")
      t.eq(sim.live().held, 1, "held")
      h:reply(ev, c[1])
      L.wait(job)
      t.eq(job.out:match(c[2]) ~= nil, true, "outcome: " .. job.out)
      t.eq(#L.records(h, 50), 0, "nothing else")
      for k, v in pairs(c[3]) do t.eq(cnt(k), v, k) end
    end
  end},

  {"writes: open-pre, open-post and close-pre share one synthetic descriptor, each close after its open", function()
    local path = dir .. "/again.txt"
    own_write(path)  -- own process: not held
    L.records(h, 50)
    local c = L.counters()
    local job = ops("openw " .. path .. " 20")
    local pre = L.next(h)[1]
    t.eq(pre.type .. " " .. pre.flags, T.open_pre .. " " .. 0x80201, "open-pre: O_WRONLY | O_TRUNC | O_CLOEXEC")
    h:reply(pre, lacdc.REPLY_ALLOW)
    local post = L.next(h)[1]
    t.eq(post.type .. " " .. post.name .. " " .. post.flags .. " " .. post.pid,
         T.open_post .. " " .. path .. " " .. 0x80201 .. " " .. pre.pid, "open-post after the allow")
    t.eq(post.dirfd >= 0x40000000, true, "synthetic descriptor"); t.eq(post.rc, post.dirfd, "rc is the descriptor")
    os.execute("sleep 0.05")
    t.eq(job:done(), false, "the open waits for the open-post's reply")
    t.eq(lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd), path, "/proc/<pid>/fd/<synthetic> reads the file")
    t.eq(type(select(2, lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd + 1000))), "number",
         "an unknown synthetic descriptor does not resolve")
    h:reply(post, lacdc.REPLY_TRACKFILE)
    local all = {pre, post}
    local limit = os.time() + 20
    while not job:done() or all[#all].type ~= T.close_pre do
      assert(os.time() <= limit, "the closes did not come: " .. tostring(job.out))
      for _, ev in ipairs(L.records(h, 20)) do
        all[#all + 1] = ev
        if ev.type ~= T.close_pre then h:reply(ev, lacdc.REPLY_ALLOW) end
      end
    end
    t.eq(job.out:match("^ok 20"), "ok 20", "twenty opens")
    t.eq(#all, 60, "open-pre, open-post and close-pre for each")
    for i = 1, 60, 3 do
      t.eq(all[i].type .. " " .. all[i + 1].type .. " " .. all[i + 2].type,
           T.open_pre .. " " .. T.open_post .. " " .. T.close_pre, "order " .. i)
      t.eq(all[i + 2].fd .. " " .. all[i + 2].pid, all[i + 1].dirfd .. " " .. all[i + 1].pid, "its own descriptor " .. i)
    end
    for _, k in ipairs {"open_pre", "open_post", "close_pre"} do t.eq(c(k), 20, k) end
    t.eq(sim.live().sessions, 0, "nothing left open")
  end},

  {"a held event is allowed after timeout_ms without a reply; a late reply changes nothing", function()
    sim.live(false)
    sim.live{mount = dir, timeout_ms = 300}
    local c = L.counters()
    local job = L.wait(ops("exec " .. tool))
    t.eq(job.out:match("^ok"), "ok", "ran after the timeout")
    t.eq(c("timeouts") .. " " .. c("replied"), "1 0", "one timeout, no reply")
    local recs = L.records(h, 50)
    t.eq(#recs, 1, "the record is still queued")
    h:reply(recs[1], lacdc.REPLY_BLOCK)
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

  {"a read open is an open-pre record alone, on the handle asked for", function()
    own_write(dir .. "/data.txt")  -- own process: not held
    L.records(h, 50)
    local h2 = assert(lacdc.open())  -- handle 2, the newest
    sim.live{mount = dir, handle = 1}
    t.eq(sim.live().handle, 1, "handle 1")
    local job = ops("open " .. dir .. "/data.txt")
    local ev = L.next(h)[1]
    t.eq(ev.type .. " " .. ev.name .. " " .. ev.dirfd, T.open_pre .. " " .. dir .. "/data.txt -100", "open-pre")
    t.eq(ev.flags, 0x80000, "O_RDONLY | O_CLOEXEC")
    h:reply(ev, lacdc.REPLY_IGNORE)
    L.wait(job)
    t.eq(job.out:match("^ok"), "ok", "opened")
    t.eq(#L.records(h, 50), 0, "a read makes no open-post and no close")
    t.eq(h2:gettest(50), nil, "nothing on handle 2")
    sim.live(false)
    h2:close()
  end},

  {"reset stops the live mode; without a handle, events are allowed at once", function()
    sim.live{mount = dir}
    sim.reset()
    t.eq(sim.live().on, false, "off")
    sim.setup{hook = true, driver = true, node = true}
    sim.live{mount = dir}
    local c = L.counters()
    local job = L.wait(ops("exec " .. tool), 5)
    t.eq(job.out:match("^ok"), "ok", "ran")
    t.eq(c("unqueued") .. " " .. c("timeouts"), "1 0", "unqueued, no timeout")
    sim.live(false)
  end},
})
