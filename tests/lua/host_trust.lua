-- `acagent host` with its default policy (trust by content) on the
-- namespace's copy of the root file system and a tmpfs (run by
-- tests/live/run.sh): every exec in this namespace is judged, so the build
-- and source trees are trusted through the administrator's list first.
local t = require "testlib"
local lacdc = require "lacdc"
local AGENT = t.build .. "/acagent"
local dir = t.sh("mktemp -d /run/actrust.XXXXXX"):match("%S+")    -- tmpfs: programs nobody packaged
local work = t.sh("mktemp -d /run/actrustw.XXXXXX"):match("%S+")  -- database, logs
assert(os.execute("mount -t tmpfs -o size=64m,mode=755 actrust " .. dir), "mount -t tmpfs failed")
-- The agent finds its modules by its defaults, not by the test's paths.
local ENV = ("env -u LUA_CPATH_5_2 -u LUA_PATH_5_2 ACAGENT_TRUST_DB=%s/trust.db ACAGENT_TRUST_LIST=%s/trust.list "
  .. "ACAGENT_DECISION_LOG=%s/decisions.jsonl "):format(work, work, work)
local LOG = work .. "/decisions.jsonl"

local function slurp(path) local f = io.open(path) local s = f and f:read("*a") or "" if f then f:close() end return s end
local function wait_for(fn, what, seconds)
  for _ = 1, (seconds or 10) * 50 do if fn() then return end os.execute("sleep 0.02") end
  error("timed out waiting for " .. what)
end
local function trust(args) return t.sh(ENV .. AGENT .. " trust " .. args .. " 2>&1") end
local function run(cmd)
  local p = io.popen(cmd .. " 2>/dev/null; echo \"rc=$?\"")
  local out = p:read("*a")
  p:close()
  return tonumber(out:match("rc=(%d+)%s*$")), out:gsub("rc=%d+%s*$", "")
end
-- The decisions logged for path, decoded.
local function decisions(path)
  local out = {}
  for line in slurp(LOG):gmatch("[^\n]+") do
    local d = assert(lacdc.decode(line), line)
    if d.path == path then out[#out + 1] = d end
  end
  return out
end

-- A package file with other content, seen only in this namespace.
local CHANGED = "/usr/bin/yes"
os.execute(("cp /usr/bin/true %s/yes && echo >>%s/yes && mount --bind %s/yes %s"):format(dir, dir, dir, CHANGED))
trust(("add --dir %s %s"):format(t.build, t.source))

local function agent()
  local base = work .. "/agent"
  os.remove(base .. ".rc")
  local proc = io.popen(("%s%s host --mode enforcing --mount / --mount %s --mount %s --no-status >>%s.log 2>&1 </dev/null & " ..
                         "echo $!; wait $!; echo $? >%s.rc"):format(ENV, AGENT, dir, CHANGED, base, base))
  local a = {pid = tonumber(proc:read("*l"))}
  function a.stop()
    os.execute("kill -TERM " .. a.pid)
    wait_for(function() return slurp(base .. ".rc") ~= "" end, "the agent to exit")
    proc:close()
    return tonumber(slurp(base .. ".rc"):match("%d+"))
  end
  wait_for(function() return slurp(base .. ".log"):find("protecting") or slurp(base .. ".rc") ~= "" end, "the agent to start", 60)
  assert(slurp(base .. ".rc") == "", "the agent did not start: " .. slurp(base .. ".log"))
  -- Started is not yet judging: the deadline answers until the policy has loaded.
  local before = #decisions("/usr/bin/true")
  wait_for(function() run("/usr/bin/true") return #decisions("/usr/bin/true") > before end, "the first decision", 60)
  return a
end

local a = agent()
local ok, err = pcall(t.run, {
  {"package files run when their content matches; a copy elsewhere and changed content are denied", function()
    os.execute(("cp /usr/bin/true %s/copy"):format(dir))
    for _, c in ipairs {{"/usr/bin/true", 0, "package"}, {dir .. "/copy", 126, "none"}, {CHANGED, 126, "none"}} do
      t.eq(run(c[1]), c[2], c[1])
      local d = decisions(c[1])
      t.eq(#d > 0 and d[#d].source, c[3], c[1] .. " source")
    end
    local d = decisions(CHANGED)
    assert(d[#d].reason:find("differs from what package coreutils installed", 1, true), d[#d].reason)
  end},
  {"a script run by sh is judged by its content; the administrator's list lets it and a program run", function()
    local script, tool = dir .. "/s.sh", dir .. "/tool"
    t.writefile(script, "echo script-ran\n")
    os.execute(("cp /usr/bin/true %s"):format(tool))
    local rc, out = run("sh " .. script)
    assert(rc ~= 0 and not out:find("script-ran"), "an untrusted script ran: " .. out)
    t.eq(run(tool), 126, "tool before")
    trust(("add %s %s"):format(script, tool))
    assert(trust("list"):find(tool .. "\t", 1, true))
    t.eq(select(2, run("sh " .. script)), "script-ran\n", "trusted script")
    t.eq(run(tool), 0, "trusted tool")
    -- New content after the approval: judged again, and the list pinned the old content.
    os.execute(("cat /usr/bin/false >%s"):format(tool))
    wait_for(function() return run(tool) == 126 end, "the rewritten tool to be denied")
    assert(trust("check " .. tool .. "; true"):find("content changed since it was added", 1, true))
    trust("remove " .. script)
    t.eq(run("sh " .. script) ~= 0, true, "the removed script fails")
  end},
  {"a name with a newline and quotes is one valid JSON line", function()
    local name = dir .. '/we"ird\nna\\me\t'
    os.execute(("cp /usr/bin/true '%s'"):format(name))
    t.eq(run("'" .. name .. "'"), 126, "odd name")
    local execs = {}  -- every line decodes (decisions() asserts it); the copy's change lines aside
    for _, d in ipairs(decisions(name)) do if d.event == "exec" then execs[#execs + 1] = d.decision end end
    t.eq(table.concat(execs, " "), "deny", "decisions of the exec")
  end},
  {"the database survives a restart: a known file is not hashed again", function()
    t.eq(a.stop(), 0, "exit status")
    local before = #decisions("/usr/bin/true")
    a = agent()
    local d = decisions("/usr/bin/true")
    assert(#d > before, "no decision after the restart")
    t.eq(d[#d].hashed, false, "hashed after the restart")
    t.eq(d[#d].decision, "allow", "decision")
  end},
})
a.stop()
if os.getenv("KEEP") then print(slurp(LOG)) end
os.execute(("umount %s; umount %s; rm -rf %s %s"):format(CHANGED, dir, dir, work))
if not ok then error(err, 0) end
