-- Live mode as an attacker sees it: the file a process really runs is the one
-- judged (nested mount namespaces, chroots), and content changed behind the
-- engine's drift tracker still makes the policy forget a verdict.
local t, d = require "testlib", require "drvlib"
package.path = t.source .. "/examples/?.lua;" .. package.path
local policy = require "policy"
local sim, lacdc, T = d.sim, d.lacdc, d.lacdc.type
local dir = t.sh("mktemp -d /run/aclive.XXXXXX"):match("[^\n]+")
assert(os.execute("mount -t tmpfs -o size=64m,mode=755 aclive " .. dir) or os.remove(dir) and false, "mount failed")
local approved, other, jail = dir .. "/approved/tool", dir .. "/other/tool", dir .. "/jail"
-- jail/tool is the other program; from the host, the jail's root text joined
-- with its path leads through a planted absolute symlink to the approved one.
t.sh(("cd %s && mkdir -p approved other jail%s && cp /usr/bin/true approved/tool && cp /usr/bin/false other/tool && " ..
      "cp other/tool jail/tool && ln -s /tool jail/link && ln -s %s jail%s/tool"):format(dir, jail, approved, jail))
policy.trusted_dirs = {dir .. "/approved/"}
local h = d.ready()
-- Runs cmd in dir while serving events with the policy until it has ended and
-- 200 ms passed without one; returns its output and the events handed to Lua.
local function run(cmd, lockdown)
  local base = os.tmpname()
  cmd = "'" .. cmd:gsub("'", "'\\''") .. "'"
  os.execute(("(cd %s && timeout 20 sh -c %s >%s 2>&1 </dev/null; mv %s %s.done) &"):format(dir, cmd, base, base, base))
  local seen, limit = {}, os.time() + 30
  while true do
    local done = io.open(base .. ".done")
    local running = not (done and done:close())
    assert(os.time() <= limit, "the command did not end")
    local ev, code, msg = h:get(running and 20 or 200, 1, lockdown or 0, 0, "", 0, 0)
    if ev then
      ev.reply = policy.decide(ev, {lockdown = lockdown or 0})
      if ev.reply then h:reply(ev, ev.reply) end
      seen[#seen + 1] = ev
    else
      assert(lacdc.istimeout(code), msg)
      if not running then
        local out = d.readfile(base .. ".done")
        os.remove(base .. ".done")
        return out, seen
      end
    end
  end
end
local function execs(seen)
  local out = {}
  for _, ev in ipairs(seen) do
    if ev.type == T.execve_pre then out[#out + 1] = ev.realpath .. "=" .. tostring(ev.reply) end
  end
  return table.concat(out, " ")
end
local BLOCK = "=" .. lacdc.REPLY_BLOCK
local ok, err = pcall(t.run, {
  {"the file the kernel opens is judged, whatever the process's namespace or root", function()
    sim.live{mount = dir}
    for _, c in ipairs {
      {"unshare -m --propagation private sh -c 'mount --bind other/tool approved/tool && approved/tool'", other},
      {"chroot jail /link", jail .. "/tool"},
    } do
      lacdc.ClearCache()
      local out, seen = run(c[1], 1)
      t.eq(execs(seen) .. " " .. tostring(out:find("not permitted") ~= nil), c[2] .. BLOCK .. " true", c[1])
    end
    -- No path of the agent's namespace reaches other/tool once it covers other/: the driver denies it.
    os.execute("mount -t tmpfs cover " .. dir .. "/other")
    local before = sim.live().unnamed
    local out, seen = run("unshare -m --propagation private sh -c 'umount other && other/tool'", 1)
    os.execute("umount " .. dir .. "/other")
    t.eq(execs(seen) .. tostring(out:find("not permitted") ~= nil) .. sim.live().unnamed - before, "true1", "unnamed")
  end},
  {"content changed behind the drift tracker makes the policy forget the verdict", function()
    for _, c in ipairs {
      {"rewritten in place", [[perl -e 'open(F, "+<", $ARGV[0]) or die; print F "#"; close F; sleep 1' approved/tool]]},
      {"writer killed before its close", "exec 3>approved/tool; kill -9 $$"},
      {"writer gone before the engine reads its open", "printf '#' >approved/tool"},
      {"writer gone before the engine reads its close", "printf '#' >approved/tool & sleep 0.2"},
      {"behind 64 other writers", "bash -c 'exec 3>approved/tool; for i in {1..64}; do exec {f}>w$i; done; exec 3>&-; sleep 1'"},
    } do
      lacdc.AddToCache(approved, 1)
      run(c[2])
      t.eq(lacdc.IsCached(approved), 0, c[1])
    end
  end},
  {"a program its writer closes and runs at once is judged anew, not from the verdict of its old content", function()
    local fresh = dir .. "/other/fresh"
    run("cp /usr/bin/true " .. fresh)
    for i = 1, 10 do
      lacdc.AddToCache(fresh, 1)
      local out = run([[perl -e 'open(F, ">>", $ARGV[0]) or die; print F "\0"; close F; exec $ARGV[0] or print "$!\n"' ]] ..
                      fresh, 1)
      t.eq(out, "Operation not permitted\n", "run " .. i)
    end
  end},
  {"a directory renamed and another made at its old name: a rewrite in it is reported under its new name", function()
    run("printf '' >>approved/tool")  -- the driver has found that directory by its handle
    run("mv approved moved && mkdir approved")
    local moved = dir .. "/moved/tool"
    lacdc.AddToCache(moved, 1)
    run([[perl -e 'open(F, "+<", $ARGV[0]) or die; print F "#"; close F; sleep 1' moved/tool]])
    run("rmdir approved && mv moved approved")
    t.eq(lacdc.IsCached(moved), 0, "the verdict of the file under its new name")
  end},
})
sim.live(false)
os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir)
assert(ok, err)
