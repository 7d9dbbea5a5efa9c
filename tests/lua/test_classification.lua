-- Process classification from Lua: GetProcessInterpreterType, IsExtensionInterpreted,
-- IsTrustedPath and IsPrelink of the driver-channel module.
local t = require "testlib"
local lacdc = require "lacdc"
local ac = require "ac"

local fn = lacdc

local pid = 900000 + 17  -- no process needs to exist; only the cache slot matters

t.run {
  {"GetProcessInterpreterType: a type of 2 or more gives the type and the nocache flag", function()
    local cases = {
      {"/usr/bin/python3.9", 3}, {"/usr/bin/pythonista", 3}, {"/usr/sbin/prelink", 12},
      {"/bin/sh", 7}, {"/usr/bin/java", 2}, {"/opt/agent/sma_lsam_run", 2},
      {"/usr/sbin/apache2", 5}, {"/usr/sbin/nginx", 5}, {"/bin/rbash", 7}, {"/bin/tcsh", 7},
      {"/usr/bin/javaw", 2}, {"C:/Windows/System32/msiexec.exe", 25}, {"perl", 6},
    }
    for _, c in ipairs(cases) do
      local r = t.pack(fn.GetProcessInterpreterType(pid, c[1]))
      t.eq(r.n, 2, c[1] .. " result count")
      t.eq(r[1], c[2], c[1])
      t.eq(r[2], false, c[1] .. " nocache")
    end
  end},

  {"GetProcessInterpreterType: no rule gives the single result 1", function()
    for _, path in ipairs {"/bin/zsh", "/usr/bin/prelink", "/usr/bin/Python3", "/usr/bin/", ""} do
      local r = t.pack(fn.GetProcessInterpreterType(pid, path))
      t.eq(r.n, 1, path .. " result count")
      t.eq(r[1], 1, path)
    end
  end},

  {"GetProcessInterpreterType stores the classification in the process cache", function()
    ac.ClearProcessCache()
    local before = ac.ProcCacheStats()
    fn.GetProcessInterpreterType(pid, "/usr/bin/python3.9")
    t.eq(ac.GetProcess(pid, "python3.9"), 3, "stored under the file name")
    t.eq(ac.GetProcess(pid + 1024, "python3.9"), 3, "same slot")
    fn.GetProcessInterpreterType(pid, "/bin/zsh")
    t.eq(ac.GetProcess(pid, "zsh"), 1, "normal is stored too")
    t.eq(select("#", ac.GetProcess(pid, "python3.9")), 0, "replaced")
    local after = ac.ProcCacheStats()
    t.eq(after.procadd - before.procadd, 2, "two stores")
    t.eq(after.procchange - before.procchange, 1, "the second re-classified the same pid")
    fn.GetProcessInterpreterType(pid, "/usr/bin/a-very-long-name-of-a-perl-tool")
    t.eq(ac.GetProcess(pid, "a-very-long-name"), 6, "first 16 bytes of the name")
  end},

  {"GetProcessInterpreterType arguments", function()
    t.raises("bad argument #1", fn.GetProcessInterpreterType, nil, "/bin/sh")
    t.raises("bad argument #1", fn.GetProcessInterpreterType, "x", "/bin/sh")
    t.raises("bad argument #2", fn.GetProcessInterpreterType, pid)
    t.raises("bad argument #2", fn.GetProcessInterpreterType, pid, {})
    t.raises("path longer than 4095 bytes", fn.GetProcessInterpreterType, pid, "/" .. ("a"):rep(4095))
    local r = t.pack(fn.GetProcessInterpreterType(pid, "/" .. ("a"):rep(4089) .. "/bash"))
    t.eq(r[1], 7, "a path of 4095 bytes is classified")
  end},

  {"IsExtensionInterpreted", function()
    local f = fn.IsExtensionInterpreted
    t.eq(f(3, "py"), true, "python py")
    t.eq(f(3, "PY"), false, "case matters")
    t.eq(f(2, "jar"), true, "java jar")
    t.eq(f(5, "pyd"), true, "web pyd")
    t.eq(f(3, "pyd"), false, "python pyd")
    t.eq(f(7, "init"), true, "last extension of shell")
    t.eq(f(1, "py"), false, "normal")
    t.eq(f(0, "py"), false, "index 0")
    t.eq(f(12, "so"), false, "no extensions")
    t.eq(f(33, "exe"), false, "last row")
    t.eq(f(34, "py"), false, "past the table")
    t.eq(f(-1, "py"), false, "negative")
    t.eq(f(3), false, "no extension")
    t.raises("bad argument #1", f, nil, "py")
    t.raises("bad argument #2", f, 3, {})
  end},

  {"IsTrustedPath", function()
    local f = fn.IsTrustedPath
    t.eq(f(2, "/opt/IBM/IES/apps/x.jar"), true, "java")
    t.eq(f(2, "/opt/ibm/ies/x.jar"), false, "case-sensitive")
    t.eq(f(7, "/etc/bash_completion.d/tool"), true, "shell shares java's list")
    t.eq(f(3, "/opt/IBM/IES/x"), false, "python is not trusted")
    t.eq(f(12, "/usr/lib/x.so"), false, "prelink has no fragments")
    t.eq(f(25, "c:\\windows\\temp\\x.msi"), true, "backslash fragments are plain text")
    t.eq(f(0, "/opt/IBM/IES/x"), false, "type 0")
    t.eq(f(34, "/opt/IBM/IES/x"), false, "type 34")
    t.eq(f(2, ""), false, "empty path")
    t.raises("bad argument #2", f, 2)
    t.raises("bad argument #2", f, 2, {})
    t.raises("bad argument #1", f, "java", "/opt/IBM/IES/x")
  end},

  {"IsPrelink", function()
    t.eq(fn.IsPrelink(12), true, "12")
    t.eq(fn.IsPrelink(1), false, "1")
    t.eq(fn.IsPrelink(0), false, "0")
    t.eq(fn.IsPrelink(12 + 2^32), false, "no truncation")
    t.raises("bad argument #1", fn.IsPrelink)
  end},
}
