-- Misuse and hostile input at the edges of the engine: wrong userdata, stale
-- handles, dead channels, failing replies, overlong names, special files,
-- hidden NULs and integers out of their field's range.
local t, d = require "testlib", require "drvlib"
local sim, lacdc, T = d.sim, d.lacdc, d.T

t.run {
  {"a full userdata is refused where a pointer is expected", function()
    d.ready()
    t.raises("light userdata expected", lacdc.open, io.tmpfile())
    t.raises("light userdata expected", lacdc.open_worker, io.tmpfile())
    t.raises("light userdata expected", lacdc.profiler, io.stdout, io.stdout)
    t.eq(d.show(lacdc.open(sim.null())), "nil | -1 | ShouldExitChannel not setup:  (-1)", "null pointer")
  end},
  {"a closed handle keeps no descriptor number that another open may reuse", function()
    local h1 = d.ready()
    h1:close()
    local h2 = assert(lacdc.open())
    sim.push{type = T.close_post, id = 7, pid = 1}
    local ebadf = "nil | 9 | %s(): Bad file descriptor fd=-1 (9)"
    t.eq(d.show(h1:gettest(0)), ebadf:format("poll"), "gettest")
    t.eq(d.show(h1:reply({id = 7}, lacdc.REPLY_ALLOW)), ebadf:format("reply"), "reply")
    t.eq(d.show(h1:command("x")), ebadf:format("command"), "command")
    t.eq(#sim.replies() + #sim.commands(), 0, "nothing reached the driver")
    t.eq(h2:gettest(0).id, 7, "the record stays for its handle")
    t.eq(d.show(h1:close()), "nil | 0 | Double close", "close again")
  end},
  {"a channel that reads as ended is a hang-up, not an endless retry", function()
    local h = d.ready()
    sim.reset()  -- the driver's side goes away without hanging up
    t.eq(d.show(d.get(h, {timeout = 100})), "nil | -3 | get(): Driver disabled (-3)", "get")
    t.eq(h:isdone(), true, "stopped")
  end},
  {"interrupted waits, reads and fast-path replies are retried; lost replies logged", function()
    local h = d.ready()
    d.clearlogs()
    sim.fail("ioctl", 4, 2)
    sim.push{type = T.close_post, id = 41, pid = 1}
    t.eq(d.ev(h), nil, "answered")
    t.eq(d.codes(), "ERROR", "the reply got through")
    sim.fail("ioctl", 12)
    sim.push{type = T.close_post, id = 42, pid = 1}
    t.eq(d.show(d.get(h, {log = 1})), "nil | -4 | poll(): Timeout (-4)", "get's results unchanged")
    t.eq(d.readfile(d.debuglog):match("reply to event 42 failed: [^\n]*"),
         "reply to event 42 failed: Cannot allocate memory (12)", "lost reply logged")
    d.clearlogs()
    sim.fail("poll", 4, 16)
    sim.fail("read", 4, 16)
    sim.push{type = T.close_post, id = 43, pid = 1}
    t.eq(assert(h:gettest(1000)).id, 43, "wait and read interrupted 16 times in a row")
    sim.fail("read", 4, 17)
    sim.push{type = T.close_post, id = 44, pid = 1}
    t.eq(d.show(h:gettest(0)) .. " " .. h:gettest(0).id, "nil | 4 | get(): Interrupted system call (4) 44", "not forever")
  end},
  {"a name longer than its field is never decided on its first 1024 bytes", function()
    local h = d.ready()
    for _, c in ipairs {{"name", {type = T.chown_pre, name = ("n"):rep(1024), name_len = 1025}},
                        {"oldname", {type = T.rename_post, name = "/a", oldname = "/b", oldname_len = 4000}}} do
      c[2].id, c[2].pid = 5, 1
      sim.push(c[2])
      t.raises(c[1] .. " length too large", d.get, h)
      t.eq(#sim.replies(), 0, c[1] .. ": not answered")
    end
    local dir, pid = d.workdir(), t.spawn_sleep(5, "/")
    local p = dir .. ("/" .. ("d"):rep(200)):rep(4)
    p = p .. "/" .. ("f"):rep(1023 - #p)
    os.execute("mkdir -p " .. p:match("(.*)/") .. " && cp /bin/true " .. p)
    sim.push{type = T.execve_pre, id = 6, pid = pid, name = p, fd = -100}
    t.eq(#assert(d.get(h)).name, 1024, "a name that fills its field is handed on whole")
    t.kill(pid)
    os.execute("rm -rf " .. dir)
  end},
  {"special files are refused, never read without end", function()
    local ac, dir = require "ac", d.workdir("special")
    local fifo = dir .. "/fifo"
    os.execute("mkfifo " .. fifo)
    t.eq(d.show(ac.HashAll("/dev/zero")), "22 | nil | nil | nil | 0", "HashAll on a device")
    t.eq(d.show(ac.HashPrimary("/dev/urandom")), "22 | nil | 0", "HashPrimary on a device")
    t.eq(d.show(ac.HashNull(dir)), "21", "a directory")
    for _, p in ipairs {fifo, "/dev/zero"} do t.raises("Failed to open " .. p, ac.DecryptRuleset, p, {}) end
    t.eq(d.show(lacdc.load(fifo, fifo)), ('nil | 22 | load_module("%s"): Invalid argument (22)'):format(fifo), "load")
    os.execute("rm -rf " .. dir)
  end},
  {"hidden zero bytes and integers beyond their field are argument errors", function()
    local h, ac, p = d.ready(), require "ac", "/usr/bin/ls\0/home/u/evil"
    for _, c in ipairs {
      {lacdc.AddToCache, p, 1}, {lacdc.IsCached, p}, {lacdc.RemoveFromCache, p}, {lacdc.IsTrustedPath, 1, p},
      {lacdc.GetProcessInterpreterType, 1, p}, {lacdc.GetRealPath, 1, p}, {lacdc.quickIMFilter, p, "", ""},
      {lacdc.load, p, "/x"}, {ac.HashAll, p}, {ac.HashNull, p}, {ac.DecryptRuleset, p, {}}, {ac.GetProcess, 1, p},
    } do t.raises("embedded zero byte", table.unpack(c)) end
    t.eq(lacdc.IsCached("/usr/bin/ls"), 0, "nothing approved on the prefix")
    for _, c in ipairs {
      {h.reply, h, {id = 2 ^ 40}, 2}, {h.reply, h, {id = -1}, 2}, {h.reply, h, {id = 1}, 2 ^ 33},
      {h.reply, h, {id = 1}, 0x82, {eta = 2 ^ 31}}, {lacdc.DriftOpen, 2 ^ 32, 1}, {lacdc.DriftClose, 1, 2 ^ 31},
      {lacdc.GetFileNameFromPidAndFd, 2 ^ 31, 1}, {lacdc.GetRealPath, -1, "/"},
    } do t.raises("out of range", table.unpack(c)) end
    t.eq(#sim.replies(), 0, "no reply sent")
    assert(h:reply({id = 2 ^ 32 - 1}, 2))
    t.eq(sim.replies()[1].id, 2 ^ 32 - 1, "the largest id is in range")
    lacdc.DriftOpen(2 ^ 32 - 1, 2 ^ 31 - 1)  -- each field's largest value, then its smallest
    lacdc.DriftOpen(0, -2 ^ 31)
    t.eq(t.show(lacdc.DriftClose(2 ^ 32 - 1, 2 ^ 31 - 1), lacdc.DriftClose(0, -2 ^ 31)), "true, true, false", "bounds")
  end},
}
