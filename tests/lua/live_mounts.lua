-- Host mode in this test's private mount namespace: every tmpfs is watched and followed as tmpfs
-- mounts come and go. Only tmpfs is chosen, so no process's operations on the machine's other file
-- systems are held; the namespace's copies of the machine's tmpfs mounts are, for this namespace only,
-- and every event is served until the commands end (short deadlines besides).
local t, d = require "testlib", require "drvlib"
local sim, lacdc, T = d.sim, d.lacdc, d.lacdc.type
local OPS = t.build .. "/live_ops"
local function newdir() return t.sh("mktemp -d /srv/acmounts.XXXXXX"):match("[^\n]+") end
local function mount(dir) return ("mount -t tmpfs -o size=16m,mode=755 acmounts %s && cp /usr/bin/true %s/tool"):format(dir, dir) end
local function watched(dir)
  for _, m in ipairs(sim.live().mounts) do if m == dir then return true end end
  return false
end
-- Runs a shell command in the background and serves every event (allowed) until it has ended and
-- 200 ms pass without one; returns its output and the events handed to Lua.
local h = d.ready()
local function run(cmd)
  local base = os.tmpname()
  os.execute(("( ( %s ) >%s 2>&1 </dev/null; mv %s %s.done ) &"):format(cmd, base, base, base))
  local seen, limit = {}, os.time() + 30
  while true do
    local out = d.readfile(base .. ".done")
    assert(os.time() <= limit, "the command did not end: " .. cmd)
    local ev, code, msg = h:get(out and 200 or 20, 1, 0, 0, "", 0, 0)
    if ev then
      if not ev.bind_action then h:reply(ev, lacdc.REPLY_ALLOW) end
      seen[#seen + 1] = ev.type .. " " .. (ev.realpath or ev.name or "")
    else
      assert(lacdc.istimeout(code), msg)
      if out then os.remove(base .. ".done"); return out, " " .. table.concat(seen, " ") .. " " end
    end
  end
end
local a, b = newdir(), newdir()
assert(os.execute(mount(a)), "mount -t tmpfs failed")
local ok, err = pcall(t.run, {
  {"mounts chosen by type: an exec on one is held for the engine, a new one is followed, an unmounted one forgotten", function()
    sim.live{host = true, fstypes = "tmpfs", timeout_ms = 1000}
    t.eq(watched(a) and not watched(b), true, "the tmpfs mounted before the start is watched")
    local out, seen = run(OPS .. " exec " .. a .. "/tool")
    t.eq(out:match("^ok") and seen:find(" " .. T.execve_pre .. " " .. a .. "/tool ", 1, true) ~= nil, true, seen)
    run(mount(b))
    d.wait_until(function() return watched(b) end, "the new tmpfs watched", 10)
    t.eq(sim.live().mount_changes > 0, true, "mount table changes counted")
    -- A cached file rewritten reaches Lua (its close named through the file system's handles);
    -- live_ops stays 300 ms after its close, so the engine finds it in /proc.
    for _, step in ipairs {{"exec", T.execve_pre}, {"write", T.close_pre, " x 300"}} do
      out, seen = run(OPS .. " " .. step[1] .. " " .. b .. "/tool" .. (step[3] or ""))
      t.eq(seen:find(" " .. step[2] .. " " .. b .. "/tool ", 1, true) ~= nil, true, step[1] .. ":" .. seen)
      lacdc.AddToCache(b .. "/tool", 1)
    end
    t.eq(run("umount " .. b .. " && echo unmounted"), "unmounted\n", "no descriptor keeps the mount busy")
    d.wait_until(function() return not watched(b) end, "the unmounted tmpfs forgotten", 10)
    t.eq(sim.live().held .. " " .. sim.live(false), "0 0", "nothing left held")
  end},
  {"mount points given: only those, each a mount point", function()
    t.raises(a .. "/tool is not a mount point", sim.live, {host = true, mounts = {a .. "/tool"}})
    sim.live{host = true, mounts = {a}, timeout_ms = 1000}
    t.eq(table.concat(sim.live().mounts, " "), a, "watched")
    t.eq(sim.live(false), 0, "nothing left held")
  end},
})
sim.live(false)  -- then remove the mounts (lazily if still busy) and their directories, whatever the outcome
for _, dir in ipairs {a, b} do os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. " 2>/dev/null; } ; rmdir " .. dir) end
assert(ok, err)
