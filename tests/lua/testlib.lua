-- Small helpers shared by the Lua tests.
local M = {build = os.getenv("ACBUILD") or "build", source = os.getenv("ACSOURCE") or "."}
function M.eq(got, want, what)
  if got ~= want then error(("%s: got %s, want %s"):format(what or "value", tostring(got), tostring(want)), 2) end
end
function M.raises(pattern, fn, ...)
  local ok, err = pcall(fn, ...)
  if ok or not tostring(err):find(pattern, 1, true) then error(("error %s lacks %q"):format(tostring(err), pattern), 2) end
end
-- Each row {message, fn, args...} must raise.
function M.raise_all(rows) for _, r in ipairs(rows) do M.raises(r[1], r[2], unpack(r, 3, table.maxn(r))) end end
function M.count(t)
  local n = 0
  for _ in pairs(t) do n = n + 1 end
  return n
end
-- All results as one line (strings quoted): count, type and value in one comparison.
function M.show(...)
  local out = {}
  for i = 1, select("#", ...) do
    local v = select(i, ...)
    out[i] = type(v) == "string" and ("%q"):format(v) or tostring(v)
  end
  return table.concat(out, ", ")
end
-- Runs named cases; reports each and fails at the end if any failed.
function M.run(cases)
  local failed = 0
  for _, c in ipairs(cases) do
    local ok, err = xpcall(c[2], debug.traceback)
    print((ok and "ok   " or "FAIL ") .. c[1])
    if not ok then print(err); failed = failed + 1 end
  end
  if failed > 0 then error(failed .. " case(s) failed", 0) end
end
function M.sh(cmd)
  local p = assert(io.popen(cmd))
  local out = p:read("*a")
  assert(p:close(), "command failed: " .. cmd)
  return out
end
-- Starts `cmd` in the background (in dir, with redirections such as "7<dir"); its pid once it runs exe.
function M.spawn(cmd, exe, dir, redirs)
  local inner = ("echo $$ >&9; exec " .. cmd .. " 9>&-"):gsub("'", "'\\''")
  local pid = M.sh(("(%s sh -c '%s' 9>&1 %s >/dev/null 2>&1 </dev/null &)")
    :format(dir and ("cd '" .. dir .. "' &&") or "", inner, redirs or "")):match("%d+")
  for _ = 1, 500 do
    if M.sh("readlink /proc/" .. pid .. "/exe || true"):match("[^\n]*"):match(exe) then return tonumber(pid) end
    os.execute("sleep 0.01")
  end
  error(cmd .. " did not start")
end
function M.spawn_sleep(seconds, dir, redirs) return M.spawn("sleep " .. seconds, "sleep$", dir, redirs) end
-- Kills a process and waits until it is gone or a zombie.
function M.kill(pid)
  assert(os.execute(("kill %d 2>/dev/null; for i in $(seq 500); do s=$(cut -d')' -f2 /proc/%d/stat 2>/dev/null) || exit 0; " ..
    "case $s in ' Z'*) exit 0;; esac; sleep 0.01; done; exit 1"):format(pid, pid)), "process " .. pid .. " did not end")
end
function M.writefile(path, data)
  assert(io.open(path, "wb")):write(data):close()
  return path
end
function M.hex(s) return s and (s:gsub(".", function(c) return ("%02x"):format(c:byte()) end)) end
-- Runs cases in a fresh directory out of /tmp (which the drift tracker excludes), removed afterwards.
function M.run_in_dir(make_cases)
  local dir = M.sh("mktemp -d /srv/actest.XXXXXX"):match("^(%S+)")
  local ok, err = pcall(function() M.run(make_cases(dir)) end)
  os.execute("rm -rf '" .. dir .. "'")
  if not ok then error(err, 0) end
end
-- Entries of a zip archive as "name size" pairs after checking every CRC.
function M.zip_listing(path)
  return (M.sh("python3 -c 'import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1]); assert z.testzip() is None\n" ..
    "print(\" \".join(\"%s %d\" % (i.filename, i.file_size) for i in z.infolist()))' '" .. path .. "'"):gsub("\n$", ""))
end
return M
