-- Exec, script-open and mmap events decided by the fast path over the
-- simulated driver, against real processes and files.
local t = require "testlib"
local d = require "drvlib"
local f = require "fastlib"
local sim, lacdc = d.sim, d.lacdc
local T = lacdc.type

local dir = f.workdir()
local tool = dir .. "/tool"
os.execute("cp /usr/bin/true " .. tool)
local caller = t.spawn_sleep(60, dir)             -- a plain program: type normal
-- argv[0] is not the executable's name, so only script extensions make it a script run
local shell = t.spawn([[bash -c 'exec -a myshell bash -c "sleep 60; :"']], "bash$", dir)
local h = d.ready()
local id = 0

local function exec(path)
  id = id + 1
  sim.push{type = T.execve_pre, id = id, pid = caller, fd = -100, name = path}
  return id
end

t.run {
  {"an approved program is allowed and never reaches Lua", function()
    lacdc.ClearCache()
    lacdc.AddToCache(tool, 1)
    local c = f.counters()
    local n = exec(tool)
    t.eq(f.get(h, {lockdown = 1}), nil, "nothing handed to Lua")
    local r = f.reply()
    t.eq(r.id, n, "id"); t.eq(r.reply, lacdc.REPLY_ALLOW, "allowed")
    for _, k in ipairs {"exec_pre_eagain", "run_program", "ac_allow", "eagain_return", "event_exec_pre", "total_events"} do
      t.eq(c(k), 1, k)
    end
    t.eq(c("exec_pre_handoff") + c("lua_return"), 0, "no handoff")
  end},

  {"an unrecognized program: allowed and reported, or blocked in lockdown", function()
    lacdc.AddToCache(tool, 2)
    exec(tool)
    local ev = assert(f.get(h, {lockdown = 0}))
    t.eq(ev.bind_action, lacdc.REPLY_ALLOW, "allowed")
    t.eq(ev.cache_type, 2, "unrecognized")
    t.eq(ev.realpath, tool, "realpath"); t.eq(ev.fileName, "tool", "fileName"); t.eq(ev.path, dir .. "/", "path")
    t.eq(ev.processName, "/usr/bin/sleep", "acting process")
    t.eq(ev.action_type, lacdc.TYPE_PROC_START, "an exec is a process start")
    t.eq(ev.isexec, false, "a hit does not read the file status")
    t.eq(f.reply().reply, lacdc.REPLY_ALLOW, "reply sent before Lua sees it")

    exec(tool)
    ev = assert(f.get(h, {lockdown = 1}))
    t.eq(ev.bind_action, lacdc.REPLY_BLOCK, "blocked")
    t.eq(f.reply().reply, lacdc.REPLY_BLOCK, "block sent")
  end},

  {"maintenance mode auto-authorizes by file times", function()
    lacdc.AddToCache(tool, 2)
    local now = os.time() * 1000
    os.execute("touch -d '@" .. (os.time() - 100) .. "' " .. tool .. "; sleep 0.02")  -- modified 100 s ago
    local c = f.counters()
    exec(tool)
    t.eq(f.get(h, {lockdown = 1, maintenanceMode = 1, startTime = now - 200000}), nil, "authorized in the fast path")
    t.eq(f.reply().reply, lacdc.REPLY_ALLOW, "allowed")
    t.eq(c("RunAllowedAutoAuthorize"), 1, "RunAllowedAutoAuthorize")

    -- ctime is now, so the window must start after it to refuse
    exec(tool)
    local ev = assert(f.get(h, {lockdown = 1, maintenanceMode = 1, startTime = now + 60000}))
    t.eq(ev.bind_action, lacdc.REPLY_BLOCK, "both times before the window: blocked")

    os.execute("touch -d '@" .. (os.time() + 3600) .. "' " .. tool)  -- in the future
    exec(tool)
    ev = assert(f.get(h, {lockdown = 1, maintenanceMode = 1, startTime = 0}))
    t.eq(ev.bind_action, lacdc.REPLY_BLOCK, "a future time is refused")
    t.eq(c("RunAllowedAutoAuthorize"), 1, "no more authorizations")
    os.execute("touch " .. tool)
    sim.replies()
  end},

  {"a block verdict is blocked and handed to Lua with its ruleset", function()
    lacdc.AddToCache(tool, 3, "ruleset-1-2-3-4")
    for _, lockdown in ipairs {0, 1} do
      exec(tool)
      local ev = assert(f.get(h, {lockdown = lockdown}))
      t.eq(ev.bind_action, lacdc.REPLY_BLOCK, "blocked")
      t.eq(ev.ruleset, "ruleset-1-2-3-4", "ruleset")
      t.eq(f.reply().reply, lacdc.REPLY_BLOCK, "sent")
    end
  end},

  {"a program without verdict goes to Lua without reply", function()
    lacdc.ClearCache()
    local c = f.counters()
    exec(tool)
    local ev = assert(f.get(h))
    t.eq(ev.bind_action, nil, "no reply")
    t.eq(ev.cache_type, 0, "not cached")
    local fh = assert(io.open(tool))
    t.eq(ev.size, fh:seek("end"), "size reported")
    fh:close()
    t.eq(ev.isexec, true, "executable")
    t.eq(#sim.replies(), 0, "the policy must answer")
    t.eq(c("exec_pre_handoff"), 1, "exec_pre_handoff"); t.eq(c("lua_return"), 1, "lua_return")
    h:reply(ev, lacdc.REPLY_ALLOW)
    t.eq(f.reply().id, ev.id, "policy reply by id")
  end},

  {"files that cannot be evaluated are ignored", function()
    local empty = f.write(dir .. "/empty", "", 493)
    exec(empty)
    exec(dir .. "/missing")
    exec(dir)
    t.eq(f.get(h), nil, "all answered")
    local r = sim.replies()
    t.eq(#r, 3, "three replies")
    for i = 1, 3 do t.eq(r[i].reply, lacdc.REPLY_IGNORE, "ignored " .. i) end
  end},

  {"an exec by a process that has gone is dropped without reply", function()
    local gone = t.spawn_sleep(60)
    t.kill(gone)
    local c = f.counters()
    sim.push{type = T.execve_pre, id = 99, pid = gone, fd = -100, name = tool}
    t.eq(f.get(h), nil, "nothing for Lua")
    local r = f.reply()
    t.eq(r.reply, 0, "all-zero record"); t.eq(r.id, 0, "no id")
    t.eq(c("exec_pre_eagain"), 1, "exec_pre_eagain")
  end},

  {"a shell opening a script is a script execution", function()
    lacdc.ClearCache()
    local script = f.write(dir .. "/run.sh", "echo hi\n")
    local c = f.counters()
    sim.push{type = T.open_pre, id = 200, pid = shell, fd = -100, name = "run.sh"}
    local ev = assert(f.get(h))
    t.eq(ev.action_type, "SCRIPT_EXECUTION", "script execution")
    t.eq(ev.realpath, script, "relative name resolved in the shell's directory")
    t.eq(ev.processTypeIndex, 7, "shell")
    t.eq(ev.bind_action, nil, "no verdict: Lua decides")
    t.eq(c("script_execution"), 1, "script_execution"); t.eq(c("open_pre_handoff"), 1, "handoff")

    lacdc.AddToCache(script, 1)
    sim.push{type = T.open_pre, id = 201, pid = shell, fd = -100, name = "run.sh"}
    t.eq(f.get(h), nil, "approved script answered")
    t.eq(f.reply().reply, lacdc.REPLY_ALLOW, "allowed")

    local notes = f.write(dir .. "/notes.txt")
    sim.push{type = T.open_pre, id = 202, pid = shell, fd = -100, name = "notes.txt"}
    sim.push{type = T.open_pre, id = 203, pid = caller, fd = -100, name = "run.sh"}
    t.eq(f.get(h), nil, "both ignored")
    local r = sim.replies()
    t.eq(r[1].reply, lacdc.REPLY_IGNORE, "not a script extension and not on the command line")
    t.eq(r[2].reply, lacdc.REPLY_IGNORE, "not an interpreter")
    os.remove(notes)
  end},

  {"an executable mapping is judged by the mapped file", function()
    lacdc.ClearCache()
    local mapper = t.spawn_sleep(60, dir, "5<" .. tool)
    lacdc.AddToCache(tool, 3)
    local c = f.counters()
    sim.push{type = T.mmap_pre, id = 300, pid = mapper, fd = 5, mode = 5}
    local ev = assert(f.get(h))
    t.eq(ev.action_type, "MMAP_EXECUTION", "mmap execution")
    t.eq(ev.name, tool, "the descriptor's file becomes the name")
    t.eq(ev.bind_action, lacdc.REPLY_BLOCK, "blocked")
    t.eq(c("run_program"), 1, "run_program"); t.eq(c("mmap_pre_handoff"), 1, "handoff")
    t.kill(mapper)
  end},
}

h:close()
t.kill(caller)
t.kill(shell)
os.execute("rm -rf " .. dir)
