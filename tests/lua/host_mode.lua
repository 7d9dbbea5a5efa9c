-- `acagent host` protecting a tmpfs of a private mount namespace (run by
-- tests/live/run.sh): real programs, a real agent process, its signals.
local t = require "testlib"
local AGENT, OPS = t.build .. "/acagent", t.build .. "/live_ops"
local dir = t.sh("mktemp -d /run/achost.XXXXXX"):match("%S+")
local work = t.sh("mktemp -d /run/achostw.XXXXXX"):match("%S+")  -- not watched: logs, policies
assert(os.execute("mount -t tmpfs -o size=64m,mode=755 achost " .. dir), "mount -t tmpfs failed")
os.execute(("mkdir %s/approved %s/other && cp /usr/bin/true %s/approved/tool && cp /usr/bin/true %s/other/tool")
           :format(dir, dir, dir, dir))
local APPROVED, OTHER = dir .. "/approved/tool", dir .. "/other/tool"
-- Under ThreadSanitizer the agent runs many times slower: generous deadlines,
-- and the cases that measure time or memory are left out.
local SLOW = os.getenv("ACSANITIZE") == "thread"
local DEADLINE = SLOW and "--deadline 30000" or ""

local POLICIES = {
  sample = ("local p = dofile(%q)\np.trusted_dirs = {%q, '/usr/bin/', '/bin/'}\nreturn p")
           :format(t.source .. "/examples/policy.lua", dir .. "/approved/"),
  silent = "return {decide = function() end}",  -- never answers
  stall = "return {decide = function() local t0 = os.time() repeat until os.time() - t0 >= 3 end}",
}

local function slurp(path) local f = io.open(path) local s = f and f:read("*a") or "" if f then f:close() end return s end
local function alive(pid) return os.execute("kill -0 " .. pid .. " 2>/dev/null") end
local function wait_for(fn, what, seconds)
  for _ = 1, (seconds or 10) * 50 do if fn() then return end os.execute("sleep 0.02") end
  error("timed out waiting for " .. what)
end

local running = {}  -- agents not stopped yet, stopped at the end whatever failed

-- Starts `acagent host` on the tmpfs with a policy; returns the agent.
local function agent(mode, policy, extra, where)
  -- A case that failed leaves its agent running: it must not judge this one's events.
  for old in pairs(running) do pcall(old.stop, "KILL") end
  local n = #t.sh("ls " .. work) -- a fresh name per agent
  local base = ("%s/a%d"):format(work, n)
  t.writefile(base .. ".lua", POLICIES[policy] or policy)
  -- A child of this process (not an orphan), so that the agent's ancestors
  -- show the namespace it was made in.
  local proc = io.popen(("%s host --mode %s %s --policy %s.lua --status-file %s.json %s >%s.log 2>&1 </dev/null & " ..
                         "echo $!; wait $!; echo $? >%s.rc"):format(AGENT, mode, where or "--mount " .. dir, base, base, extra or "", base, base))
  t.writefile(base .. ".pid", proc:read("*l"))
  local a = {pid = tonumber(slurp(base .. ".pid")), base = base}
  function a.log() return slurp(base .. ".log") end
  function a.rc() return tonumber(slurp(base .. ".rc"):match("%d+") or "") end
  function a.status() return t.sh(AGENT .. " status --json " .. base .. ".json") end
  function a.stop(sig)
    os.execute(("kill -%s %d 2>/dev/null"):format(sig or "TERM", a.pid))
    wait_for(function() return a.rc() end, "the agent to exit")
    proc:close()
    running[a] = nil
    return a.rc()
  end
  running[a] = true
  wait_for(function() return a.log():find("protecting") or a.rc() end, "the agent to start")
  assert(not a.rc(), "the agent did not start: " .. a.log())
  wait_for(function() return io.open(base .. ".json") end, "the status snapshot")
  -- Events before a worker holds its handle pass unjudged: wait for both.
  wait_for(function() return select(2, a.log():gsub(": ready", "")) >= 2 end, "the workers", 30)
  return a
end

-- Runs a program (in the background when `bg`); returns its exit status and
-- the seconds it took, or, in the background, a function that gives them once done.
local function run(path, bg)
  local out = work .. "/run" .. math.random(1e9)
  os.execute(("(s=$(date +%%s%%N); %s >/dev/null 2>&1; echo $? $(( ($(date +%%s%%N) - s) / 1000000 )) >%s.tmp; mv %s.tmp %s) %s")
             :format(path, out, out, out, bg and "&" or ""))
  local function result()
    local rc, ms = slurp(out):match("(%d+) (%d+)")
    if rc then os.remove(out) return tonumber(rc), tonumber(ms) / 1000 end
  end
  if bg then return result end
  return result()
end

local function counter(status, name) return tonumber(status:match('"' .. name .. '":(%d+)')) end

local cases = {
  {"enforcing: an approved program runs, another is denied; status shows the driver", function()
    local a = agent("enforcing", "sample", DEADLINE)
    t.eq(run(APPROVED), 0, "approved")
    t.eq(run(OTHER), 126, "other")
    local s
    wait_for(function() s = a.status() return counter(s, "denied") == 1 end, "the denial in the status")
    assert(s:find('"mode":"enforcing"') and s:find(dir, 1, true), s)
    t.eq(a.stop(), 0, "exit status")
    assert(a.log():find("0 held events answered"), a.log())
  end},
  {"a policy that never answers or stalls: the deadline answers, allow or deny", timing = true, function()
    for _, c in ipairs {{"silent", "allow", 0}, {"stall", "allow", 0}, {"silent", "deny", 126}} do
      local a = agent("enforcing", c[1], "--deadline 300 --deadline-answer " .. c[2])
      local rc, seconds = run(OTHER)
      t.eq(rc, c[3], c[1] .. " " .. c[2])
      assert(seconds < 2, c[1] .. " took " .. seconds .. " s")
      a.stop()
    end
  end},
  {"SIGTERM with an exec held: the exec is answered at once and the agent exits 0", function()
    local a = agent("enforcing", "silent", "--deadline 20000")
    local done = run(OTHER, true)
    wait_for(function() return counter(a.status(), "held") == 1 end, "the exec to be held")
    t.eq(a.stop("TERM"), 0, "exit status")
    wait_for(done, "the exec", 3)
    t.eq((done()), nil, "result read once")
    assert(a.log():find("1 held events answered"), a.log())
  end},
  {"kill -9 with an exec held: the kernel releases the exec", function()
    local a = agent("enforcing", "silent", "--deadline 20000")
    local done = run(OTHER, true)
    wait_for(function() return counter(a.status(), "held") == 1 end, "the exec to be held")
    os.execute("kill -9 " .. a.pid)
    local ok = pcall(wait_for, done, "the exec after kill -9", 5)
    if not ok then os.execute("pkill -9 -f '^" .. OTHER .. "$'") end  -- never leave it blocked
    assert(ok, "the exec stayed blocked after the agent was killed")
  end},
  {"SIGHUP reloads the policy under a stream of execs: none fails or waits for the deadline", timing = true, function()
    local a = agent("enforcing", "sample")
    local stream = run(("for i in $(seq 300); do %s || exit 1; done"):format(APPROVED), true)
    t.writefile(a.base .. ".lua", POLICIES.sample:gsub("/usr/bin/", dir .. "/other/', '/usr/bin/"))
    for _ = 1, 5 do os.execute("kill -HUP " .. a.pid .. "; sleep 0.1") end
    wait_for(stream, "the stream", 60)
    t.eq(run(OTHER), 0, "other/ trusted after the reload")
    wait_for(function() return counter(a.status(), "replied") >= 301 end, "the status")
    t.eq(counter(a.status(), "deadline_allowed"), 0, "deadline answers")
    assert(a.log():find("policy reloaded"), a.log())
    a.stop()
  end},
  {"by type: the namespace's copy of the root file system; programs of /usr/bin are seen and allowed", timing = true, function()
    local root = t.sh("findmnt -n -o FSTYPE /"):match("%S+")
    local a = agent("enforcing", POLICIES.sample:gsub("'/usr/bin/'", ("'/usr/', '/bin/', '/lib', %q"):format(t.build .. "/")),
                    SLOW and DEADLINE or "--deadline 1000", "--fstypes " .. root)
    local function execs() return counter(a.status(), "event_exec_pre") end
    local before = execs()
    t.eq(run("/usr/bin/true"), 0, "/usr/bin/true")
    wait_for(function() return execs() > before end, "the exec in the engine's counters")
    assert(a.status():find('"mounts":["/"', 1, true), a.status())
    t.eq(a.stop(), 0, "exit status")
  end},
  {"four processes opening and writing at once: every event answered in time, mostly read by the workers themselves", function()
    t.writefile(dir .. "/data", "x")  -- before the agent: its own write open would count
    local a = agent("enforcing", "sample", DEADLINE)
    local n, codes = SLOW and 200 or 2000, {}
    local jobs = {}
    for i = 1, 4 do jobs[i] = run(("%s %s %s/data %d"):format(OPS, i % 2 == 0 and "openw" or "open", dir, n), true) end
    for i = 1, 4 do wait_for(function() codes[i] = codes[i] or jobs[i]() return codes[i] end, "the openers", 120) end
    t.eq(table.concat(codes, " "), "0 0 0 0", "every open succeeded")
    -- A snapshot can count the last open read but not yet answered: wait for
    -- one where every event read has its answer.
    local st
    local function settled()
      st = a.status()
      local perm = counter(st, "perm_events") or 0
      return perm >= 4 * n and (counter(st, "rule_answers") or 0) + (counter(st, "replied") or 0) == perm
    end
    assert(pcall(wait_for, settled, "the counters", 10), "each answered: " .. st)
    -- None of these programs is an interpreter: the driver's rules answer the opens.
    t.eq(t.show(counter(st, "deadline_allowed"), counter(st, "unresolved"), counter(st, "held")), t.show(0, 0, 0),
         "each answered in time: " .. st)
    assert(counter(st, "rule_answers") > 3 * n, st)
    assert(counter(st, "engine_reads") > 0, st)
    -- The engine sees each write open, and no read as one.
    local lost = counter(st, "unknown_flags")
    wait_for(function() st = a.status() return counter(st, "event_open_post") >= 2 * n - lost end, "the open-posts", 5)
    t.eq(counter(st, "event_open_post") <= 2 * n, true, "open-posts: " .. st)
    -- What a writer breaking one of those leases sends the agent.
    os.execute("kill -IO " .. a.pid)
    t.eq(a.stop(), 0, "exit status")
  end},
  {"readers queued together: the reads of one batch are told by a lease, not by each reader's call", function()
    t.writefile(dir .. "/data", "x")
    local a = agent("enforcing", "sample", DEADLINE)
    -- No program is started while the agent is stopped but the readers and
    -- sleep (pgrep, run under the address sanitizer's preload, could hang).
    local pids = {}
    for i = 1, 4 do pids[i] = ("%s/reader%d"):format(work, i) end
    local function waiting()  -- readers asleep in their open
      local n = 0
      for _, f in ipairs(pids) do
        local pid = slurp(f):match("%d+")
        if pid and slurp("/proc/" .. pid .. "/syscall"):match("^257 ") then n = n + 1 end
      end
      return n
    end
    os.execute("kill -STOP " .. a.pid)  -- so that the four wait in one batch
    for _, f in ipairs(pids) do
      os.execute(("(%s open %s/data 1 >/dev/null 2>&1 & echo $! >%s; wait $!; echo $? >%s.rc) &"):format(OPS, dir, f, f))
    end
    local queued = pcall(wait_for, function() return waiting() == 4 end, "the readers", 30)
    os.execute("kill -CONT " .. a.pid)
    assert(queued, "the readers did not all wait")
    local codes = {}
    for i, f in ipairs(pids) do wait_for(function() codes[i] = slurp(f .. ".rc"):match("%d+") return codes[i] end, "the readers", 30) end
    t.eq(table.concat(codes, " "), "0 0 0 0", "every read succeeded")
    local st
    wait_for(function() st = a.status() return (counter(st, "rule_answers") or 0) >= 4 end, "the answers", 10)
    t.eq(counter(st, "lease_reads"), 4, "lease reads: " .. st)
    a.stop()
  end},
  {"the driver's rules: another program's open is answered in the driver, an interpreter's script open by the engine",
   function()
    os.execute(("cp /bin/cat %s/approved/python3 && cp /bin/cat %s/approved/reader && echo 'print(1)' >%s/other/x.py")
               :format(dir, dir, dir))
    local READ, SCRIPT = dir .. "/approved/reader " .. dir .. "/other/x.py", dir .. "/approved/python3 " .. dir .. "/other/x.py"
    local a = agent("enforcing", "sample", DEADLINE)
    t.eq(run(READ), 0, "read by a program that is no interpreter")
    t.eq(run(SCRIPT), 1, "an unrecognized script, refused to an interpreter")
    local st
    wait_for(function() st = a.status() return counter(st, "denied") == 1 end, "the denial in the status")
    t.eq(counter(st, "rule_answers"), 1, "rule answers: " .. st)
    a.stop()
    -- program = false: no rules, the engine judges every open.
    local b = agent("enforcing", POLICIES.sample:gsub("return p$", "p.program = false\nreturn p"), DEADLINE)
    t.eq(run(READ), 0, "read, judged by the engine")
    wait_for(function() st = b.status() return counter(st, "replied") == 2 end, "the exec and the open replied")
    t.eq(counter(st, "rule_answers"), 0, "rule answers: " .. st)
    b.stop()
  end},
  {"100,000 opens: the agent's resident memory stays flat", timing = true, function()
    local a = agent("enforcing", "sample")
    local function rss() return tonumber(slurp("/proc/" .. a.pid .. "/status"):match("VmRSS:%s*(%d+)")) end
    t.writefile(dir .. "/data", "x")
    assert(t.sh(OPS .. " open " .. dir .. "/data 10000"):find("^ok"))
    local before = rss()
    assert(t.sh(OPS .. " open " .. dir .. "/data 100000"):find("^ok"))
    local grown = rss() - before
    -- A sanitizer's allocator keeps freed memory in quarantine: nothing to measure there.
    if os.getenv("ACSANITIZE") == "" or not os.getenv("ACSANITIZE") then
      assert(grown < 2048, ("grew by %d kB"):format(grown))
    end
    a.stop()
  end},
}
for i = #cases, 1, -1 do if SLOW and cases[i].timing then table.remove(cases, i) end end
local ok, err = pcall(t.run, cases)
for a in pairs(running) do pcall(a.stop, "KILL") end
os.execute("umount " .. dir .. "; rm -rf " .. dir .. " " .. work)
if not ok then error(err, 0) end
