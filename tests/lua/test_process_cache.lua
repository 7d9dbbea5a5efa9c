-- Process classification and the process cache as the policy code sees them
-- (rules, slots and counters: process_types_test.cpp, process_cache_test.cpp).
local t, lacdc, ac = require "testlib", require "lacdc", require "ac"
local f, pid = lacdc.GetProcessInterpreterType, 900017  -- no process needs to exist
local function n(...) return select("#", ...) end
local function delta(fn)  -- procadd procchange procremovehit procremovemiss prochit procmiss
  local b, out = ac.ProcCacheStats(), {}
  fn()
  for _, k in ipairs {"procadd", "procchange", "procremovehit", "procremovemiss", "prochit", "procmiss"} do
    out[#out + 1] = ac.ProcCacheStats()[k] - b[k]
  end
  return table.concat(out, " ")
end
t.run {
  {"classification: the type and the nocache flag, or 1; stored in the process cache; booleans", function()
    for path, want in pairs {["/usr/bin/python3.9"] = "3, false", ["C:/Windows/System32/msiexec.exe"] = "25, false",
                             perl = "6, false", ["/bin/zsh"] = "1", ["/" .. ("a"):rep(4089) .. "/bash"] = "7, false"} do
      t.eq(t.show(f(pid, path)), want, path)
    end
    ac.ClearProcessCache()
    t.eq(delta(function() f(pid, "/usr/bin/python3.9") f(pid, "/bin/zsh") end), "2 1 0 0 0 0", "two stores, one change")
    f(pid, "/usr/bin/a-very-long-name-of-a-perl-tool")
    t.eq(ac.GetProcess(pid, "a-very-long-name"), 6, "first 16 bytes of the name")
    local ext, trusted, prelink = lacdc.IsExtensionInterpreted, lacdc.IsTrustedPath, lacdc.IsPrelink
    t.eq(t.show(ext(3, "py"), ext(3, "PY"), ext(-1, "py"), trusted(2, "/opt/IBM/IES/apps/x.jar"), trusted(3, "/opt/IBM/IES/x"),
                prelink(12), prelink(1), prelink(12 + 2^32)), "true, false, false, true, false, true, false, false", "booleans")
    t.raise_all {{"path longer than 4095 bytes", f, pid, "/" .. ("a"):rep(4095)}, {"bad argument #1", f, "x", "/bin/sh"},
                 {"bad argument #2", f, pid, {}}, {"bad argument #2", ext, 3, {}}, {"bad argument #1", trusted, "java", "/x"},
                 {"bad argument #1", prelink}}
  end},
  {"AddProcess, GetProcess and RemoveProcess: results, names, types and pids", function()
    ac.ClearProcessCache()
    t.eq(n(ac.AddProcess(1234, 3, "python3")) + n(ac.RemoveProcess(99)) + n(ac.ClearProcessCache("x")), 0, "no results")
    ac.AddProcess(1234, 3, "python3")
    t.eq(delta(function()
      t.eq(ac.GetProcess(1234, "python3") .. n(ac.GetProcess(1234, "bash")) .. n(ac.GetProcess(77, "")), "300", "a miss: no value")
      t.eq(n(ac.GetProcess(nil, "python3")) + n(ac.GetProcess("abc", "python3")), 0, "pid read as 0")
    end), "0 0 0 0 2 1", "pid 0 counts nothing")
    ac.AddProcess(40, 2, "0123456789abcdefGHIJ")
    ac.AddProcess(41, 4, "php")
    ac.AddProcess(42, 7, "sh\0garbage")
    t.eq(ac.GetProcess(40, "0123456789abcdef") .. ac.GetProcess(42, "sh") .. n(ac.GetProcess(41, "php8")), "270",
         "the first 16 bytes, zero-padded, compared up to the NUL")
    for p, c in pairs {[50] = {2^32 + 3, "3"}, [51] = {-1, "-1"}, [52] = {2^31, "-2147483648"}, [53] = {2^32, ""}} do
      ac.AddProcess(p, c[1], "a")
      t.eq(t.show(ac.GetProcess(p, "a")), c[2], "a signed 32-bit type: " .. c[1])
    end
    for _, c in ipairs {{77, 2^32 + 77, "0 0 1 0 0 0"}, {-1, -1, "0 0 1 0 0 0"}, {2^32 - 1, 2^32 - 1, "0 0 0 1 0 0"}} do
      ac.AddProcess(c[1], 3, "y")
      t.eq(delta(function() ac.RemoveProcess(c[2]) end), c[3], "RemoveProcess cuts pid " .. c[2] .. " to 32 signed bits")
    end
    t.raise_all {{"number expected", ac.AddProcess, nil, 1, "n"}, {"string expected", ac.AddProcess, 1, 1, {}},
                 {"string expected", ac.GetProcess, 1}, {"number expected", ac.RemoveProcess, "x"}}
  end},
}
