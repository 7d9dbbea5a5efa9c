-- Process classification as the policy code sees it: results and argument
-- rules of the Lua functions (the rules and tables: process_types_test.cpp).
local t = require "testlib"
local lacdc = require "lacdc"
local ac = require "ac"

local pid = 900000 + 17  -- no process needs to exist; only the cache slot matters
local f = lacdc.GetProcessInterpreterType

t.run {
  {"GetProcessInterpreterType: the type and the nocache flag, or the single result 1", function()
    for path, want in pairs {["/usr/bin/python3.9"] = "3, false", ["C:/Windows/System32/msiexec.exe"] = "25, false",
                             perl = "6, false", ["/bin/zsh"] = "1", [""] = "1"} do
      t.eq(t.show(f(pid, path)), want, path)
    end
    t.eq(f(pid, "/" .. ("a"):rep(4089) .. "/bash"), 7, "a path of 4095 bytes is classified")
    t.raises("path longer than 4095 bytes", f, pid, "/" .. ("a"):rep(4095))
    for _, c in ipairs {{"#1", nil, "/bin/sh"}, {"#1", "x", "/bin/sh"}, {"#2", pid}, {"#2", pid, {}}} do
      t.raises("bad argument " .. c[1], f, c[2], c[3])
    end
  end},

  {"GetProcessInterpreterType stores the classification in the process cache", function()
    ac.ClearProcessCache()
    local before = ac.ProcCacheStats()
    f(pid, "/usr/bin/python3.9")
    t.eq(ac.GetProcess(pid, "python3.9"), 3, "stored under the file name")
    f(pid, "/bin/zsh")
    t.eq(ac.GetProcess(pid, "zsh"), 1, "normal is stored too")
    local after = ac.ProcCacheStats()
    t.eq(after.procadd - before.procadd, 2, "two stores")
    t.eq(after.procchange - before.procchange, 1, "the second re-classified the same pid")
    f(pid, "/usr/bin/a-very-long-name-of-a-perl-tool")
    t.eq(ac.GetProcess(pid, "a-very-long-name"), 6, "first 16 bytes of the name")
  end},

  {"IsExtensionInterpreted, IsTrustedPath and IsPrelink give booleans", function()
    local ext, trusted, prelink = lacdc.IsExtensionInterpreted, lacdc.IsTrustedPath, lacdc.IsPrelink
    for _, c in ipairs {
      {"python py", ext(3, "py"), true}, {"case matters", ext(3, "PY"), false}, {"negative type", ext(-1, "py"), false},
      {"no extension", ext(3), false}, {"java", trusted(2, "/opt/IBM/IES/apps/x.jar"), true},
      {"python is not trusted", trusted(3, "/opt/IBM/IES/x"), false},
      {"12", prelink(12), true}, {"1", prelink(1), false}, {"no truncation", prelink(12 + 2^32), false},
    } do
      t.eq(c[2], c[3], c[1])
    end
    for _, c in ipairs {{ext, "#1", nil, "py"}, {ext, "#2", 3, {}}, {trusted, "#2", 2}, {trusted, "#2", 2, {}},
                        {trusted, "#1", "java", "/opt/IBM/IES/x"}, {prelink, "#1"}} do
      t.raises("bad argument " .. c[2], c[1], c[3], c[4])
    end
  end},
}
