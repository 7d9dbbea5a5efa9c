-- Exec, script-open and mmap events decided by the fast path over the simulated driver, against real processes and files.
local t, d = require "testlib", require "drvlib"
local sim, lacdc, T, ALLOW, BLOCK = d.sim, d.lacdc, d.T, d.lacdc.REPLY_ALLOW, d.lacdc.REPLY_BLOCK
local dir = d.workdir()
local tool, h = dir .. "/tool", d.ready()
os.execute("cp /usr/bin/true " .. tool .. " && mkdir " .. dir .. "/sub")
local caller = t.spawn_sleep(60, dir)             -- a plain program: type normal
-- argv[0] is not the executable's name, so only script extensions make it a script run
local shell = t.spawn([[bash -c 'exec -a myshell bash -c "sleep 60; :"']], "bash$", dir)
local function exec(path, pid, fd) sim.push{type = T.execve_pre, id = 7, pid = pid or caller, fd = fd or -100, name = path} end
local function reply1()
  local r = sim.replies()
  t.eq(#r .. " " .. r[1].id, "1 7", "one reply, to the record")
  return r[1].reply
end
t.run {
  {"a cached verdict is sent at once; only approvals stay out of Lua", function()
    local n = d.counters()
    for _, c in ipairs {  -- cache type, lockdown, reply, handed to Lua
      {1, 0, ALLOW, false}, {1, 1, ALLOW, false}, {2, 0, ALLOW, true}, {2, 1, BLOCK, true}, {3, 0, BLOCK, true},
    } do
      local what = "cache type " .. c[1] .. ", lockdown " .. c[2]
      lacdc.AddToCache(tool, c[1], c[1] == 3 and "ruleset-1-2-3-4" or nil)
      exec(tool)
      local ev = d.ev(h, {lockdown = c[2]})
      t.eq(reply1() .. " " .. tostring(ev ~= nil), c[3] .. " " .. tostring(c[4]), what .. ": reply first; handed to Lua")
      if ev then
        t.eq(table.concat({ev.bind_action, ev.cache_type, ev.ruleset, ev.realpath, ev.fileName, ev.path,
                           ev.processName, ev.action_type, tostring(ev.isexec)}, " "),
             ("%d %d %s %s tool %s/ /usr/bin/sleep %s false"):format(c[3], c[1], c[1] == 3 and "ruleset-1-2-3-4" or "",
             tool, dir, lacdc.TYPE_PROC_START), what)
      end
    end
    t.eq(n("run_program") .. " " .. n("run_prelink"), "5 0", "a plain caller is no prelink")
  end},
  {"maintenance mode auto-authorizes an unrecognized program changed since the start time", function()
    lacdc.AddToCache(tool, 2)
    local now = os.time()
    for _, c in ipairs {  -- modification time, start time, reply, authorizations
      {now - 100, (now - 2) * 1000, ALLOW, 1},  -- changed (ctime) after the start, modified before it
      {now - 100, (now + 60) * 1000, BLOCK, 0},  -- both before the start
      {now + 3600, 0, BLOCK, 0},                 -- a time in the future
    } do
      os.execute("touch -d @" .. c[1] .. " " .. tool .. "; sleep 0.02")
      local n = d.counters()
      exec(tool)
      local ev = d.ev(h, {lockdown = 1, maintenanceMode = 1, startTime = c[2]})
      t.eq(reply1() .. " " .. n("RunAllowedAutoAuthorize") .. " " .. tostring(ev and ev.bind_action),
           c[3] .. " " .. c[4] .. " " .. (c[3] == ALLOW and "nil" or BLOCK), "mtime " .. c[1] .. ", start " .. c[2])
    end
    os.execute("touch " .. tool)
  end},
  {"a relative name is resolved against the record's descriptor, not the working directory", function()
    lacdc.AddToCache(tool, 2)
    local p = t.spawn_sleep(60, dir .. "/sub", "7<" .. dir)
    exec("tool", p, 7)
    sim.push{type = T.chmod_post, id = 8, pid = p, fd = 7, name = "tool", rc = 0}
    t.eq(tostring((d.ev(h) or {}).realpath) .. " " .. tostring((d.ev(h) or {}).realpath), tool .. " " .. tool, "exec, chmod")
    t.kill(p)
    sim.replies()
  end},
  {"a program without verdict goes to Lua without reply; the policy answers by id", function()
    lacdc.ClearCache()
    exec(tool)
    local ev = assert(d.ev(h))
    t.eq(t.show(ev.bind_action, ev.cache_type, ev.size, ev.isexec, #sim.replies()),
         t.show(nil, 0, #d.readfile(tool), true, 0), "no reply, not cached, size, executable")
    h:reply(ev, ALLOW)
    t.eq(sim.replies()[1].id, ev.id, "policy reply by id")
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
    local ev, r = d.ev(h), sim.replies()
    t.eq(tostring(ev) .. " " .. #r .. " " .. r[1].reply .. " " .. r[1].id, "nil 1 0 0", "all-zero record")
  end},
  {"a shell opening a script is a script execution", function()
    lacdc.ClearCache()
    local script = d.write(dir .. "/run.sh", "echo hi\n")
    sim.push{type = T.open_pre, id = 200, pid = shell, fd = -100, name = "run.sh"}
    local ev = assert(d.ev(h))
    t.eq(t.show(ev.action_type, ev.realpath, ev.processTypeIndex, ev.bind_action),
         t.show("SCRIPT_EXECUTION", script, 7, nil), "relative name in the shell's directory; Lua decides")
    lacdc.AddToCache(script, 1)
    sim.push{type = T.open_pre, id = 201, pid = shell, fd = -100, name = "run.sh"}
    d.write(dir .. "/notes.txt")
    sim.push{type = T.open_pre, id = 202, pid = shell, fd = -100, name = "notes.txt"}  -- not a script
    sim.push{type = T.open_pre, id = 203, pid = caller, fd = -100, name = "run.sh"}    -- not an interpreter
    t.eq(d.ev(h), nil, "all answered")
    t.eq(d.codes(), "ALLOW IGNORE IGNORE", "approved script; not a script extension; not an interpreter")
  end},
  {"an executable mapping is judged by the mapped file", function()
    local mapper = t.spawn_sleep(60, dir, "5<" .. tool)
    lacdc.AddToCache(tool, 3)
    sim.push{type = T.mmap_pre, id = 300, pid = mapper, fd = 5, mode = 5}
    local ev = assert(d.ev(h))
    t.eq(t.show(ev.action_type, ev.name, ev.bind_action), t.show("MMAP_EXECUTION", tool, BLOCK), "blocked")
    t.kill(mapper)
  end},
}
h:close()
t.kill(caller)
t.kill(shell)
os.execute("rm -rf " .. dir)
