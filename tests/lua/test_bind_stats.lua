-- BindStats and the /proc link lookups.
local t = require "testlib"
local lacdc = require "lacdc"

local function enoent(pid, link) return ('readlink("/proc/%d/%s"): No such file or directory'):format(pid, link) end

t.run_in_dir(function(dir)
  return {
    {"BindStats right after loading: 58 zero fields", function()
      local s = lacdc.BindStats()
      t.eq(t.count(s), 58, "fields")
      for k, v in pairs(s) do t.eq(v, 0, k) end
      t.eq(s.exclude_filter .. s.run_program, "00", "first and last field")
      for _, k in ipairs {"trusted_drift", "event_setinfo_pre", "RunErrorNotExec"} do t.eq(s[k], nil, k) end
    end},

    {"link lookups of a live process, then of an ended one", function()
      local pid = t.spawn_sleep(5)
      t.eq(lacdc.GetProcNameFromPid(pid), "/usr/bin/sleep", "executable")
      t.eq(lacdc.GetFileNameFromPidAndFd(pid, -100), lacdc.GetProcCwdFromPid(pid), "-100 is the working directory")
      t.eq(type(lacdc.GetFileNameFromPidAndFd(pid, 0)), "string", "fd 0 readable")
      t.kill(pid)
      t.eq(t.show(lacdc.GetProcNameFromPid(pid)), t.show(nil, 2, enoent(pid, "exe") .. " (2)"), "ended process")
      t.eq(select(3, lacdc.GetFileNameFromPidAndFd(pid, 3)), enoent(pid, "fd/3") .. " (2)", "fd message")
      t.raises("number expected", lacdc.GetProcNameFromPid, "x")
      t.raises("number expected", lacdc.GetFileNameFromPidAndFd, 1)
    end},

    {"GetRealPath resolves as the process sees the name", function()
      os.execute("mkdir -p " .. dir .. "/sub && touch " .. dir .. "/sub/a.txt")
      local pid = t.spawn_sleep(5, dir .. "/sub", "7<" .. dir)
      local a = dir .. "/sub/a.txt"
      t.eq(lacdc.GetRealPath(pid, "a.txt"), a, "relative to the working directory")
      t.eq(lacdc.GetRealPath(pid, "a.txt", -100), a, "-100")
      t.eq(lacdc.GetRealPath(pid, "sub/a.txt", 7), a, "relative to a directory descriptor")
      t.eq(lacdc.GetRealPath(pid, "/etc//passwd"), "/etc/passwd", "absolute through the root")
      t.eq(t.show(lacdc.GetRealPath(pid, "missing")), t.show(dir .. "/sub/missing", "No such file or directory", 2),
           "missing: the joined text")
      t.kill(pid)
      t.eq(t.show(lacdc.GetRealPath(pid, "x")), t.show("x", enoent(pid, "cwd"), 2), "no anchor: the name")
    end},
  }
end)
