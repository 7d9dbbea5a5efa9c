-- Exec, script-open and mmap events decided by the fast path over the
-- simulated driver, against real processes and files.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc, T = d.sim, d.lacdc, d.T
local ALLOW, BLOCK = lacdc.REPLY_ALLOW, lacdc.REPLY_BLOCK

local dir = d.workdir()
local tool = dir .. "/tool"
os.execute("cp /usr/bin/true " .. tool)
local caller = t.spawn_sleep(60, dir)             -- a plain program: type normal
-- argv[0] is not the executable's name, so only script extensions make it a script run
local shell = t.spawn([[bash -c 'exec -a myshell bash -c "sleep 60; :"']], "bash$", dir)
local h = d.ready()
local id = 0

local function exec(path, pid)
  id = id + 1
  sim.push{type = T.execve_pre, id = id, pid = pid or caller, fd = -100, name = path}
  return id
end

t.run {
  {"a cached verdict is sent at once; only approvals stay out of Lua", function()
    for _, c in ipairs {
      {1, 0, ALLOW, false}, {1, 1, ALLOW, false},
      {2, 0, ALLOW, true}, {2, 1, BLOCK, true},   -- unrecognized: reported, blocked in lockdown
      {3, 0, BLOCK, true}, {3, 1, BLOCK, true},
    } do
      local what = "cache type " .. c[1] .. ", lockdown " .. c[2]
      lacdc.AddToCache(tool, c[1], c[1] == 3 and "ruleset-1-2-3-4" or nil)
      local n = exec(tool)
      local ev = d.ev(h, {lockdown = c[2]})
      local r = d.reply()
      t.eq(r.id .. " " .. r.reply, n .. " " .. c[3], what .. ": reply sent before Lua sees the event")
      t.eq(ev ~= nil, c[4], what .. ": handed to Lua")
      if ev then
        t.eq(ev.bind_action .. " " .. ev.cache_type, c[3] .. " " .. c[1], what .. ": verdict in the event")
        t.eq(ev.ruleset, c[1] == 3 and "ruleset-1-2-3-4" or "", what .. ": ruleset")
        t.eq(table.concat({ev.realpath, ev.fileName, ev.path, ev.processName}, " "),
             tool .. " tool " .. dir .. "/ /usr/bin/sleep", what .. ": names")
        t.eq(ev.action_type, lacdc.TYPE_PROC_START, "an exec is a process start")
        t.eq(ev.isexec, false, "a hit does not read the file status")
      end
    end
  end},

  {"maintenance mode auto-authorizes by file times", function()
    lacdc.AddToCache(tool, 2)
    local now = os.time() * 1000
    os.execute("touch -d '@" .. (os.time() - 100) .. "' " .. tool .. "; sleep 0.02")  -- modified 100 s ago
    local c = d.counters()
    exec(tool)
    t.eq(d.ev(h, {lockdown = 1, maintenanceMode = 1, startTime = now - 200000}), nil, "authorized in the fast path")
    t.eq(d.reply().reply, ALLOW, "allowed")
    t.eq(c("RunAllowedAutoAuthorize"), 1, "RunAllowedAutoAuthorize")
    -- ctime is now: a window starting later refuses; so does a future mtime
    exec(tool)
    t.eq(d.ev(h, {lockdown = 1, maintenanceMode = 1, startTime = now + 60000}).bind_action, BLOCK,
         "both times before the window")
    os.execute("touch -d '@" .. (os.time() + 3600) .. "' " .. tool)
    exec(tool)
    t.eq(d.ev(h, {lockdown = 1, maintenanceMode = 1, startTime = 0}).bind_action, BLOCK, "a future time")
    t.eq(c("RunAllowedAutoAuthorize"), 1, "no more authorizations")
    os.execute("touch " .. tool)
    sim.replies()
  end},

  {"a program without verdict goes to Lua without reply; the policy answers by id", function()
    lacdc.ClearCache()
    exec(tool)
    local ev = assert(d.ev(h))
    t.eq(ev.bind_action, nil, "no reply"); t.eq(ev.cache_type, 0, "not cached")
    local fh = assert(io.open(tool))
    t.eq(ev.size, fh:seek("end"), "size reported")
    fh:close()
    t.eq(ev.isexec, true, "executable")
    t.eq(#sim.replies(), 0, "the policy must answer")
    h:reply(ev, ALLOW)
    t.eq(d.reply().id, ev.id, "policy reply by id")
  end},

  {"files that cannot be evaluated are ignored; an exec of a gone process gets an all-zero reply", function()
    exec(d.write(dir .. "/empty", "", 493))
    exec(dir .. "/missing")
    exec(dir)
    t.eq(d.ev(h), nil, "all answered")
    t.eq(d.codes(), "IGNORE IGNORE IGNORE", "empty, missing, directory")
    local gone = t.spawn_sleep(60)
    t.kill(gone)
    exec(tool, gone)
    t.eq(d.ev(h), nil, "nothing for Lua")
    local r = d.reply()
    t.eq(r.reply .. " " .. r.id, "0 0", "all-zero record")
  end},

  {"a shell opening a script is a script execution", function()
    lacdc.ClearCache()
    local script = d.write(dir .. "/run.sh", "echo hi\n")
    sim.push{type = T.open_pre, id = 200, pid = shell, fd = -100, name = "run.sh"}
    local ev = assert(d.ev(h))
    t.eq(ev.action_type, "SCRIPT_EXECUTION", "script execution")
    t.eq(ev.realpath, script, "relative name resolved in the shell's directory")
    t.eq(ev.processTypeIndex, 7, "shell")
    t.eq(ev.bind_action, nil, "no verdict: Lua decides")

    lacdc.AddToCache(script, 1)
    sim.push{type = T.open_pre, id = 201, pid = shell, fd = -100, name = "run.sh"}
    t.eq(d.ev(h), nil, "approved script answered")
    t.eq(d.reply().reply, ALLOW, "allowed")

    local notes = d.write(dir .. "/notes.txt")
    sim.push{type = T.open_pre, id = 202, pid = shell, fd = -100, name = "notes.txt"}  -- not a script
    sim.push{type = T.open_pre, id = 203, pid = caller, fd = -100, name = "run.sh"}    -- not an interpreter
    t.eq(d.ev(h), nil, "both ignored")
    t.eq(d.codes(), "IGNORE IGNORE", "not a script extension, not an interpreter")
    os.remove(notes)
  end},

  {"an executable mapping is judged by the mapped file", function()
    lacdc.ClearCache()
    local mapper = t.spawn_sleep(60, dir, "5<" .. tool)
    lacdc.AddToCache(tool, 3)
    sim.push{type = T.mmap_pre, id = 300, pid = mapper, fd = 5, mode = 5}
    local ev = assert(d.ev(h))
    t.eq(ev.action_type, "MMAP_EXECUTION", "mmap execution")
    t.eq(ev.name, tool, "the descriptor's file becomes the name")
    t.eq(ev.bind_action, BLOCK, "blocked")
    t.kill(mapper)
  end},
}

h:close()
t.kill(caller)
t.kill(shell)
os.execute("rm -rf " .. dir)
