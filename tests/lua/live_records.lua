-- Live mode of the simulated driver, seen as raw records (gettest): what real
-- operations on a watched tmpfs become, how permission events are held and
-- answered, and what the live mode refuses to watch.
local t = require "testlib"
local L = require "livelib"
local sim, lacdc, T = L.sim, L.lacdc, L.T

local dir = L.mount()
local h = L.ready()
local tool = dir .. "/tool"
os.execute("cp /usr/bin/true " .. tool .. " && mkdir " .. dir .. "/sub")
local function ops(args) return L.start(L.ops .. " " .. args) end
local function line(...) return (require("drvlib").show(...):gsub(" | ", " ")) end
local function fields(ev, keys)
  local out = {}
  for k in keys:gmatch("%S+") do out[#out + 1] = ev[k] end
  return line(unpack(out, 1, #out))
end

L.run(dir, {
  {"refuses anything but a tmpfs mount point of its own", function()
    local bind = t.sh("mktemp -d /run/aclive.XXXXXX"):match("[^\n]+")
    os.execute("mount --bind " .. dir .. " " .. bind)
    t.raise_all {
      {"refusing to watch /", sim.live, {mount = "/"}}, {"is not a tmpfs", sim.live, {mount = t.build}},
      {"is not a mount point", sim.live, {mount = dir .. "/sub"}}, {"mounted elsewhere too", sim.live, {mount = dir}},
      {"field 'mount'", sim.live, {}},
    }
    os.execute("umount " .. bind .. "; rmdir " .. bind)
    t.raises("timeout_ms must be", sim.live, {mount = dir, timeout_ms = 0})
    t.eq(tostring(sim.live().on) .. " " .. sim.live(false), "false 0", "still off; stopping when off")
    sim.live{mount = dir}
    t.raises("on already", sim.live, {mount = dir})
    t.eq(fields(sim.live(), "on mount timeout_ms"), "true " .. dir .. " 2000", "on, default timeout")
    t.eq(sim.live(false), 0, "nothing held")
  end},

  {"an exec is held until the reply: allowed it runs, blocked it fails with EPERM", function()
    sim.live{mount = dir}
    for _, c in ipairs {
      {lacdc.REPLY_ALLOW, "^ok", "1 1 2 0"},  -- the exec's own open is allowed too
      {lacdc.REPLY_BLOCK, "^error EPERM\n$", "0 1 0 1"},
    } do
      local cnt = L.counters()
      local job = ops("exec " .. tool)
      local recs = L.next(h)
      local ev = recs[1]
      t.eq(#recs .. " " .. fields(ev, "type name dirfd execUid"), "1 " .. T.execve_pre .. " " .. tool .. " -100 0", "exec-pre")
      t.eq(ev.tid == ev.pid and ev.ppid > 1 and ev.pid ~= ev.ppid and ev.id >= 0x40000001, true, "ids")
      os.execute("sleep 0.1")
      t.eq(tostring(job:done()) .. " " .. sim.live().held, "false 1", "the exec waits")
      h:reply(ev, c[1])
      t.eq(L.wait(job).out:match(c[2]) ~= nil, true, "outcome: " .. job.out)
      t.eq(#L.records(h, 50), 0, "nothing else")
      t.eq(cnt("followups") .. " " .. cnt("replied") .. " " .. cnt("allowed") .. " " .. cnt("denied"), c[3], "counters")
    end
  end},

  {"writes: open-pre, open-post and close-pre share one synthetic descriptor", function()
    local path = dir .. "/again.txt"
    t.writefile(path, "x\n")  -- own process: not held
    L.records(h, 50)
    local job = ops("openw " .. path .. " 3")
    local pre = L.next(h)[1]
    t.eq(fields(pre, "type flags"), T.open_pre .. " " .. 0x80201, "open-pre: O_WRONLY | O_TRUNC | O_CLOEXEC")
    h:reply(pre, lacdc.REPLY_ALLOW)
    local post = L.next(h)[1]
    t.eq(fields(post, "type name flags pid"), line(T.open_post, path, 0x80201, pre.pid), "open-post")
    t.eq(post.dirfd >= 0x40000000 and post.rc == post.dirfd, true, "rc is the synthetic descriptor")
    os.execute("sleep 0.05")
    t.eq(job:done(), false, "the open waits for the open-post's reply")
    t.eq(lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd), path, "/proc/<pid>/fd/<synthetic> reads the file")
    t.eq(type(select(2, lacdc.GetFileNameFromPidAndFd(post.pid, post.dirfd + 1000))), "number", "unknown descriptor")
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
    t.eq(job.out:match("^ok 3") .. " " .. #all, "ok 3 9", "open-pre, open-post and close-pre for each")
    for i = 1, 9, 3 do
      t.eq(line(all[i].type, all[i + 1].type, all[i + 2].type, all[i + 2].fd),
           line(T.open_pre, T.open_post, T.close_pre, all[i + 1].dirfd), "order and descriptor " .. i)
    end
    t.eq(sim.live().sessions, 0, "nothing left open")
  end},

  {"a held event is allowed after timeout_ms or when the live mode stops", function()
    sim.live(false)
    sim.live{mount = dir, timeout_ms = 300}
    local c = L.counters()
    t.eq(L.wait(ops("exec " .. tool)).out:match("^ok"), "ok", "ran after the timeout")
    t.eq(c("timeouts") .. " " .. c("replied"), "1 0", "one timeout, no reply")
    h:reply(L.records(h, 50)[1], lacdc.REPLY_BLOCK)
    t.eq(c("denied"), 0, "a late reply denies nothing")
    sim.live(false)
    sim.live{mount = dir, timeout_ms = 20000}
    local job = ops("exec " .. tool)
    require("drvlib").wait_until(function() return sim.live().held == 1 end, "a held exec", 5)
    L.records(h, 50)
    t.eq(sim.live(false), 1, "one allowed by the stop")
    t.eq(L.wait(job, 5).out:match("^ok"), "ok", "ran")
  end},

  {"a read open is an open-pre record alone, on the handle asked for", function()
    local h2 = assert(lacdc.open())  -- handle 2, the newest
    sim.live{mount = dir, handle = 1}
    local job = ops("open " .. tool)
    local ev = L.next(h)[1]
    t.eq(fields(ev, "type name dirfd flags"), T.open_pre .. " " .. tool .. " -100 " .. 0x80000, "O_RDONLY | O_CLOEXEC")
    h:reply(ev, lacdc.REPLY_IGNORE)
    t.eq(L.wait(job).out:match("^ok") .. #L.records(h, 50), "ok0", "no open-post and no close for a read")
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
    t.eq(L.wait(ops("exec " .. tool), 5).out:match("^ok"), "ok", "ran")
    t.eq(c("unqueued") .. " " .. c("timeouts"), "1 0", "unqueued, no timeout")
  end},
})
