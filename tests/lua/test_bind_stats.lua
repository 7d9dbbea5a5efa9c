-- BindStats and the /proc link lookups.
local t, lacdc = require "testlib", require "lacdc"
local function enoent(pid, link) return ('readlink("/proc/%d/%s"): No such file or directory'):format(pid, link) end
t.run_in_dir(function(dir) return {
  {"BindStats right after loading: 58 zero fields", function()
    local s, sum = lacdc.BindStats(), 0
    for _, v in pairs(s) do sum = sum + v end
    t.eq(t.show(t.count(s), sum, s.exclude_filter, s.run_program, s.RunErrorNotExec), "58, 0, 0, 0, nil", "fields")
  end},
  {"link lookups of a live process, then of an ended one", function()
    os.execute("mkdir -p " .. dir .. "/sub && touch " .. dir .. "/sub/a.txt")
    local pid, a = t.spawn_sleep(5, dir .. "/sub", "7<" .. dir), dir .. "/sub/a.txt"
    t.eq(t.show(lacdc.GetProcNameFromPid(pid), lacdc.GetFileNameFromPidAndFd(pid, -100), lacdc.GetProcCwdFromPid(pid),
                lacdc.GetFileNameFromPidAndFd(pid, 7)), t.show("/usr/bin/sleep", dir .. "/sub", dir .. "/sub", dir), "links")
    t.eq(t.show(lacdc.GetRealPath(pid, "a.txt"), lacdc.GetRealPath(pid, "a.txt", -100), lacdc.GetRealPath(pid, "sub/a.txt", 7),
                lacdc.GetRealPath(pid, "/etc//passwd")), t.show(a, a, a, "/etc/passwd"), "cwd, -100, a descriptor, the root")
    t.eq(t.show(lacdc.GetRealPath(pid, "missing")), t.show(dir .. "/sub/missing", "No such file or directory", 2), "missing")
    t.kill(pid)
    t.eq(t.show(lacdc.GetProcNameFromPid(pid)), t.show(nil, 2, enoent(pid, "exe") .. " (2)"), "ended process")
    t.eq(select(3, lacdc.GetFileNameFromPidAndFd(pid, 3)), enoent(pid, "fd/3") .. " (2)", "fd message")
    t.eq(t.show(lacdc.GetRealPath(pid, "x")), t.show("x", enoent(pid, "cwd"), 2), "no anchor: the name")
    t.raise_all {{"number expected", lacdc.GetProcNameFromPid, "x"}, {"number expected", lacdc.GetFileNameFromPidAndFd, 1}}
  end},
} end)
