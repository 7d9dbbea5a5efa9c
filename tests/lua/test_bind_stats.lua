-- BindStats and the /proc link lookups.
local t = require "testlib"
local lacdc = require "lacdc"


t.run {
  {"BindStats right after loading: 58 zero fields", function()
    local s = lacdc.BindStats()
    t.eq(t.count(s), 58, "fields")
    for k, v in pairs(s) do t.eq(v, 0, k) end
    t.eq(s.exclude_filter, 0, "exclude_filter")
    t.eq(s.run_program, 0, "last field")
    t.eq(s.trusted_drift, nil, "not part of the table")
    t.eq(s.event_setinfo_pre, nil, "not part of the table")
    t.eq(s.RunErrorNotExec, nil, "not part of the table")
  end},

  {"link lookups of a live process", function()
    local pid = t.spawn_sleep(5)
    t.eq(lacdc.GetProcNameFromPid(pid), "/usr/bin/sleep", "executable")
    local cwd = lacdc.GetProcCwdFromPid(pid)
    t.eq(lacdc.GetFileNameFromPidAndFd(pid, -100), cwd, "-100 is the working directory")
    t.eq(lacdc.GetFileNameFromPidAndFd(pid, 0), lacdc.GetFileNameFromPidAndFd(pid, 0), "fd 0 readable")
    t.kill(pid)
  end},

  {"link lookups of a process that has ended", function()
    local pid = t.spawn_sleep(5)
    t.kill(pid)
    local r = t.pack(lacdc.GetProcNameFromPid(pid))
    t.eq(r[1], nil, "nil")
    t.eq(r[2], 2, "ENOENT")
    t.eq(r[3], 'readlink("/proc/' .. pid .. '/exe"): No such file or directory (2)', "message")
    r = t.pack(lacdc.GetFileNameFromPidAndFd(pid, 3))
    t.eq(r[3], 'readlink("/proc/' .. pid .. '/fd/3"): No such file or directory (2)', "fd message")
    t.raises("number expected", lacdc.GetProcNameFromPid, "x")
    t.raises("number expected", lacdc.GetFileNameFromPidAndFd, 1)
  end},

  {"GetRealPath resolves as the process sees the name", function()
    local dir = os.tmpname()
    os.remove(dir)
    os.execute("mkdir -p " .. dir .. "/sub && touch " .. dir .. "/sub/a.txt")
    local pid = t.spawn_sleep(5, dir .. "/sub", "7<" .. dir)
    t.eq(lacdc.GetRealPath(pid, "a.txt"), dir .. "/sub/a.txt", "relative to the working directory")
    t.eq(lacdc.GetRealPath(pid, "a.txt", -100), dir .. "/sub/a.txt", "-100")
    t.eq(lacdc.GetRealPath(pid, "sub/a.txt", 7), dir .. "/sub/a.txt", "relative to a directory descriptor")
    t.eq(lacdc.GetRealPath(pid, "/etc//passwd"), "/etc/passwd", "absolute through the root")
    local r = t.pack(lacdc.GetRealPath(pid, "missing"))
    t.eq(r[1], dir .. "/sub/missing", "joined text")
    t.eq(r[2], "No such file or directory", "message")
    t.eq(r[3], 2, "errno")
    t.kill(pid)
    r = t.pack(lacdc.GetRealPath(pid, "x"))
    t.eq(r[1], "x", "the name")
    t.eq(r[2], 'readlink("/proc/' .. pid .. '/cwd"): No such file or directory', "anchor message")
    t.eq(r[3], 2, "ENOENT")
    os.execute("rm -rf " .. dir)
  end},
}
