-- Small helpers shared by the Lua tests.
local M = {}

function M.eq(got, want, what)
  if got ~= want then
    error(string.format("%s: got %s, want %s", what or "value", tostring(got), tostring(want)), 2)
  end
end

function M.raises(pattern, fn, ...)
  local ok, err = pcall(fn, ...)
  if ok then error("expected an error matching " .. pattern, 2) end
  if not tostring(err):find(pattern, 1, true) then
    error(string.format("error %q does not contain %q", tostring(err), pattern), 2)
  end
end

function M.count(t)
  local n = 0
  for _ in pairs(t) do n = n + 1 end
  return n
end

function M.pack(...) return {n = select("#", ...), ...} end

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

-- Starts `cmd` (a shell command line that ends by running the program) in the
-- background, optionally in dir and with extra redirections such as "7<dir",
-- and returns its pid once its executable matches exe (a Lua pattern).
function M.spawn(cmd, exe, dir, redirs)
  local inner = ("echo $$ >&9; exec " .. cmd .. " 9>&-"):gsub("'", "'\\''")
  local p = io.popen(string.format("(%s sh -c '%s' 9>&1 %s >/dev/null 2>&1 </dev/null &)",
    dir and ("cd '" .. dir .. "' &&") or "", inner, redirs or ""))
  local pid = tonumber(p:read("*l"))
  p:close()
  for _ = 1, 500 do
    local f = io.popen("readlink /proc/" .. pid .. "/exe")
    local path = f:read("*l")
    f:close()
    if path and path:match(exe) then return pid end
    os.execute("sleep 0.01")
  end
  error(cmd .. " did not start")
end

-- A `sleep` in the background; see spawn.
function M.spawn_sleep(seconds, dir, redirs)
  return M.spawn("sleep " .. seconds, "sleep$", dir, redirs)
end

-- Kills a process and waits until it has gone (a zombie counts as gone:
-- its /proc links are unreadable already).
function M.kill(pid)
  os.execute("kill " .. pid .. " 2>/dev/null")
  for _ = 1, 500 do
    local f = io.open("/proc/" .. pid .. "/stat")
    local st = f and f:read("*l")
    if f then f:close() end
    if not st or st:match("^%d+ %b() Z") then return end
    os.execute("sleep 0.01")
  end
  error("process " .. pid .. " did not end")
end

-- All results as one line (strings quoted), so that a change of count, type
-- or value shows in a single comparison.
function M.show(...)
  local out = {}
  for i = 1, select("#", ...) do
    local v = select(i, ...)
    out[i] = type(v) == "string" and string.format("%q", v) or tostring(v)
  end
  return table.concat(out, ", ")
end

-- Output of a shell command; fails when the command does.
function M.sh(cmd)
  local p = assert(io.popen(cmd))
  local out = p:read("*a")
  assert(p:close(), "command failed: " .. cmd)
  return out
end

function M.writefile(path, data)
  local f = assert(io.open(path, "wb"))
  f:write(data)
  f:close()
  return path
end

function M.hex(s)
  return s and (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

-- Runs cases in a fresh private directory under /srv (work files stay out of
-- /tmp, which the drift tracker excludes) and removes it afterwards.
function M.run_in_dir(make_cases)
  local dir = M.sh("mktemp -d /srv/actest.XXXXXX"):match("^(%S+)")
  local ok, err = pcall(function() M.run(make_cases(dir)) end)
  os.execute("rm -rf '" .. dir .. "'")
  if not ok then error(err, 0) end
end

-- Entries of a zip archive as "name size" pairs joined by spaces, after
-- checking every CRC; the exception's name when it is no archive.
function M.zip_listing(path)
  local q = function(s) return "'" .. s:gsub("'", "'\\''") .. "'" end
  return (M.sh("python3 -c " .. q([[
import sys, zipfile
try:
    z = zipfile.ZipFile(sys.argv[1])
    assert z.testzip() is None
    print(" ".join("%s %d" % (i.filename, i.file_size) for i in z.infolist()))
except Exception as e:
    print(type(e).__name__)
]]) .. " " .. q(path)):gsub("\n$", ""))
end

M.build = os.getenv("ACBUILD") or "build"
M.source = os.getenv("ACSOURCE") or "."

return M
