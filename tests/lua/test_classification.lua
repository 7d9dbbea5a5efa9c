-- Process classification as the policy code sees it: what
-- GetProcessInterpreterType, IsExtensionInterpreted, IsTrustedPath and
-- IsPrelink of the driver-channel module return, and their argument rules.
-- The rules and tables themselves are shown in process_types_test.cpp.
local t = require "testlib"
local lacdc = require "lacdc"
local ac = require "ac"

local pid = 900000 + 17  -- no process needs to exist; only the cache slot matters

t.run {
  {"GetProcessInterpreterType: the type and the nocache flag, or the single result 1", function()
    for _, c in ipairs {{"/usr/bin/python3.9", 3}, {"C:/Windows/System32/msiexec.exe", 25}, {"perl", 6}} do
      local r = t.pack(lacdc.GetProcessInterpreterType(pid, c[1]))
      t.eq(r.n .. " " .. r[1] .. " " .. tostring(r[2]), "2 " .. c[2] .. " false", c[1])
    end
    for _, path in ipairs {"/bin/zsh", ""} do
      local r = t.pack(lacdc.GetProcessInterpreterType(pid, path))
      t.eq(r.n .. " " .. r[1], "1 1", path)
    end
  end},

  {"GetProcessInterpreterType stores the classification in the process cache", function()
    ac.ClearProcessCache()
    local before = ac.ProcCacheStats()
    lacdc.GetProcessInterpreterType(pid, "/usr/bin/python3.9")
    t.eq(ac.GetProcess(pid, "python3.9"), 3, "stored under the file name")
    lacdc.GetProcessInterpreterType(pid, "/bin/zsh")
    t.eq(ac.GetProcess(pid, "zsh"), 1, "normal is stored too")
    local after = ac.ProcCacheStats()
    t.eq(after.procadd - before.procadd, 2, "two stores")
    t.eq(after.procchange - before.procchange, 1, "the second re-classified the same pid")
    lacdc.GetProcessInterpreterType(pid, "/usr/bin/a-very-long-name-of-a-perl-tool")
    t.eq(ac.GetProcess(pid, "a-very-long-name"), 6, "first 16 bytes of the name")
  end},

  {"GetProcessInterpreterType arguments", function()
    local f = lacdc.GetProcessInterpreterType
    t.raises("bad argument #1", f, nil, "/bin/sh")
    t.raises("bad argument #1", f, "x", "/bin/sh")
    t.raises("bad argument #2", f, pid)
    t.raises("bad argument #2", f, pid, {})
    t.raises("path longer than 4095 bytes", f, pid, "/" .. ("a"):rep(4095))
    t.eq(f(pid, "/" .. ("a"):rep(4089) .. "/bash"), 7, "a path of 4095 bytes is classified")
  end},

  {"IsExtensionInterpreted, IsTrustedPath and IsPrelink give booleans", function()
    local ext, trusted, prelink = lacdc.IsExtensionInterpreted, lacdc.IsTrustedPath, lacdc.IsPrelink
    t.eq(ext(3, "py"), true, "python py")
    t.eq(ext(3, "PY"), false, "case matters")
    t.eq(ext(-1, "py"), false, "negative type")
    t.eq(ext(3), false, "no extension")
    t.raises("bad argument #1", ext, nil, "py")
    t.raises("bad argument #2", ext, 3, {})
    t.eq(trusted(2, "/opt/IBM/IES/apps/x.jar"), true, "java")
    t.eq(trusted(3, "/opt/IBM/IES/x"), false, "python is not trusted")
    t.raises("bad argument #2", trusted, 2)
    t.raises("bad argument #2", trusted, 2, {})
    t.raises("bad argument #1", trusted, "java", "/opt/IBM/IES/x")
    t.eq(prelink(12), true, "12")
    t.eq(prelink(1), false, "1")
    t.eq(prelink(12 + 2^32), false, "no truncation")
    t.raises("bad argument #1", prelink)
  end},
}
