-- Drift tracker through the Lua functions of the driver-channel module: ring,
-- overflow with live and exited processes, the cooldown of the dead-process
-- scan, dup sequences with captured names, counters and clearing.
local t = require "testlib"
local dc = require "lacdc"

local KEYS = {"track", "open", "overflow", "lostcheck", "losttrack", "found", "notfound",
              "dirt", "newfilter", "condfound", "condopen", "dup", "dupmiss", "dupname",
              "dupnamefail", "dupnamemiss", "dupnamenomem", "iterations",
              "cooldown", "current", "total", "max"}

-- Process ids above the kernel's largest pid_max: never a live process.
local NO_PROCESS = 0x10000000

-- Compares every counter with the expectation; keys not named must be 0
-- ("max" 64, "total" = "track" unless given).
local function expect_stats(want, what)
  local s = dc.DriftStats()
  for _, k in ipairs(KEYS) do
    local w = want[k]
    if w == nil then
      if k == "max" then w = 64
      elseif k == "total" then w = want.track or 0
      elseif k == "cooldown" then w = s.cooldown   -- checked by the caller when it matters
      else w = 0 end
    end
    t.eq(s[k], w, (what or "stats") .. " " .. k)
  end
  return s
end

-- Child processes started through the shell: a running one (optionally with
-- a file open on descriptor 3) and one that has exited and been reaped.
local running = {}
local function spawn_live(path, first_fd, last_fd)
  local cmd = "echo $$; exec sleep 60"
  if path then
    for fd = first_fd, last_fd do cmd = cmd .. " " .. fd .. "<" .. path end
  end
  local h = assert(io.popen(cmd, "r"))
  local pid = tonumber(h:read("*l"))
  assert(pid and pid > 1, "child pid")
  running[#running + 1] = {pid = pid, h = h}
  return pid
end

local function spawn_dead()
  local h = assert(io.popen("echo $$", "r"))
  local pid = tonumber(h:read("*l"))
  h:read("*a")
  h:close()  -- waits for the shell: it has exited and is reaped
  assert(pid and pid > 1, "child pid")
  return pid
end

local function stop_children()
  for _, c in ipairs(running) do
    os.execute("kill " .. c.pid .. " 2>/dev/null")
    c.h:close()
  end
  running = {}
end

local function link_of(pid, fd)
  -- the child has to have opened the file before it can be read back
  for _ = 1, 200 do
    local target = dc.GetFileNameFromPidAndFd(pid, fd)
    if target then return target end
    os.execute("sleep 0.01")
  end
  error("no link for " .. pid .. "/" .. fd)
end

local function case(name, fn)
  return {name, function()
    dc.DriftClear()
    local ok, err = pcall(fn)
    stop_children()
    dc.DriftClear()
    if not ok then error(err, 0) end
  end}
end

t.run {
  case("the seven functions are registered", function()
    for _, n in ipairs{"DriftClear", "DriftClose", "DriftCondOpen", "DriftDup",
                       "DriftDupTrackPossibleClose", "DriftOpen", "DriftStats"} do
      t.eq(type(dc[n]), "function", n)
    end
  end),

  case("DriftStats right after DriftClear: every value 0 except max", function()
    dc.DriftOpen(1, 1)
    dc.DriftClose(2, 2)
    dc.DriftClear()
    local s = dc.DriftStats()
    t.eq(t.count(s), 22, "keys")
    for _, k in ipairs(KEYS) do t.eq(s[k], k == "max" and 64 or 0, k) end
  end),

  case("open then close: isDrift true, newFilter false, ring empty", function()
    t.eq(select("#", dc.DriftOpen(100, 3)), 0, "DriftOpen results")
    local r = t.pack(dc.DriftClose(100, 3))
    t.eq(r.n, 2, "two results")
    t.eq(r[1], true, "isDrift")
    t.eq(r[2], false, "newFilter")
    expect_stats({track = 1, open = 1, found = 1, current = 0})
  end),

  case("the 257th untracked close asks for a fresh filter", function()
    for i = 1, 256 do
      local d, f = dc.DriftClose(100, 4)
      if d ~= false or f ~= false then error("close " .. i .. " gave " .. tostring(f)) end
    end
    local d, f = dc.DriftClose(100, 4)
    t.eq(d, false, "isDrift")
    t.eq(f, true, "newFilter on the 257th")
    expect_stats({notfound = 257, dirt = 257})
  end),

  case("conditional open adds a pair once", function()
    t.eq(select("#", dc.DriftCondOpen(100, 3)), 0, "no results")
    dc.DriftCondOpen(100, 3)
    dc.DriftCondOpen(100, 4)
    dc.DriftOpen(100, 3)  -- an unconditional open adds a second entry
    expect_stats({track = 3, open = 1, condopen = 2, condfound = 1, iterations = 1, current = 3})
  end),

  case("65 opens by live processes scan once, then the cooldown drops the oldest", function()
    local pids = {spawn_live(), spawn_live()}
    for i = 1, 64 do dc.DriftOpen(pids[i % 2 + 1], 100 + i) end
    t.eq(dc.DriftStats().current, 64, "full")
    t.eq(dc.DriftStats().cooldown, 0, "no cooldown yet")
    local before = os.time()
    dc.DriftOpen(pids[1], 165)
    local after = os.time()
    local s = dc.DriftStats()
    t.eq(s.lostcheck, 1, "one scan")
    t.eq(s.overflow, 1, "oldest dropped")
    t.eq(s.losttrack, 0, "nobody dead")
    t.eq(s.current, 64, "still full")
    assert(s.cooldown >= before + 60 and s.cooldown <= after + 60, "cooldown " .. s.cooldown)

    local cool = s.cooldown
    dc.DriftOpen(pids[2], 166)  -- within the cooldown: no scan
    dc.DriftOpen(NO_PROCESS, 1) -- dead processes' entries are not looked for either
    dc.DriftOpen(NO_PROCESS, 2)
    s = dc.DriftStats()
    t.eq(s.lostcheck, 1, "no second scan")
    t.eq(s.overflow, 4, "each add dropped the oldest")
    t.eq(s.losttrack, 0, "losttrack")
    t.eq(s.cooldown, cool, "cooldown unchanged")
    t.eq(s.current, 64, "full")
    t.eq(s.track, 68, "track")
    t.eq(s.open, 68, "open")
    -- fds 101 to 104 were the four oldest (odd i on pids[2], even on pids[1])
    t.eq((dc.DriftClose(pids[2], 101)), false, "oldest dropped")
    t.eq((dc.DriftClose(pids[1], 102)), false, "second oldest dropped")
    t.eq((dc.DriftClose(pids[2], 103)), false, "third")
    t.eq((dc.DriftClose(pids[1], 104)), false, "fourth")
    t.eq((dc.DriftClose(pids[2], 105)), true, "fifth kept")
    t.eq((dc.DriftClose(pids[2], 166)), true, "newest kept")
    t.eq((dc.DriftClose(NO_PROCESS, 2)), true, "dead entry kept while cooling down")
  end),

  case("65 opens where 40 of the first 64 processes have exited", function()
    local dead = {}
    for i = 1, 40 do dead[i] = spawn_dead() end
    local live = {spawn_live(), spawn_live(), spawn_live()}
    local d, l = 0, 0
    local alive = {}
    for i = 1, 64 do
      if i % 8 < 5 and d < 40 then
        d = d + 1
        dc.DriftOpen(dead[d], i)
      else
        l = l + 1
        dc.DriftOpen(live[l % 3 + 1], i)
        alive[#alive + 1] = {live[l % 3 + 1], i}
      end
    end
    t.eq(d, 40, "dead entries")
    dc.DriftOpen(live[1], 500)
    alive[#alive + 1] = {live[1], 500}
    local s = dc.DriftStats()
    t.eq(s.losttrack, 40, "losttrack")
    t.eq(s.lostcheck, 1, "lostcheck")
    t.eq(s.overflow, 0, "overflow")
    t.eq(s.cooldown, 0, "no cooldown: half the ring or more was freed")
    t.eq(s.current, 25, "current")
    for _, e in ipairs(alive) do t.eq((dc.DriftClose(e[1], e[2])), true, "live entry kept") end
    for i = 1, 40 do t.eq((dc.DriftClose(dead[i], 0)), false, "dead entry gone") end
    t.eq(dc.DriftStats().current, 0, "all accounted for")
  end),

  case("a scan freeing fewer than 32 sets the cooldown and drops nothing", function()
    local dead = {spawn_dead(), spawn_dead(), spawn_dead()}
    local live = spawn_live()
    for i = 1, 64 do dc.DriftOpen(i <= 3 and dead[i] or live, i) end
    local before = os.time()
    dc.DriftOpen(live, 65)
    local s = dc.DriftStats()
    t.eq(s.losttrack, 3, "losttrack")
    t.eq(s.lostcheck, 1, "lostcheck")
    t.eq(s.overflow, 0, "overflow")
    assert(s.cooldown >= before + 60, "cooldown set")
    t.eq(s.current, 62, "current")
  end),

  case("dup pre-check with the new descriptor tracked captures its name", function()
    local path = os.tmpname()
    local child = spawn_live(path, 3, 3)
    local target = link_of(child, 3)
    -- (child, old 7, new 3) with (child, 3) and (child, 7) tracked
    dc.DriftOpen(child, 3)
    dc.DriftOpen(child, 7)
    t.eq(select("#", dc.DriftDupTrackPossibleClose(child, 7, 3)), 0, "returned 1: no results")
    expect_stats({track = 2, open = 2, dupname = 1, current = 2})
    local r = t.pack(dc.DriftDup(child, 7, 3))
    t.eq(r.n, 2, "two results")
    t.eq(r[1], target, "the captured name")
    t.eq(#r[1], #target, "no NUL")
    t.eq(r[2], true, "new descriptor tracked again")
    expect_stats({track = 3, open = 2, dupname = 1, found = 1, dup = 1, current = 2})
    -- the re-added entry holds no name
    dc.DriftOpen(child, 8)
    local r2 = t.pack(dc.DriftDup(child, 8, 3))
    t.eq(r2[1], nil, "no name the second time")
    t.eq(r2[2], true, "tracked")
    os.remove(path)
  end),

  case("dup onto a tracked descriptor whose old descriptor is untracked", function()
    local path = os.tmpname()
    local child = spawn_live(path, 3, 3)
    local target = link_of(child, 3)
    dc.DriftOpen(child, 3)
    dc.DriftOpen(NO_PROCESS, 1)
    t.eq(select("#", dc.DriftDupTrackPossibleClose(child, 9, 3)), 0, "new tracked")
    local r = t.pack(dc.DriftDup(child, 9, 3))
    t.eq(r.n, 1, "one result")
    t.eq(r[1], target, "name")
    expect_stats({track = 2, open = 2, dupname = 1, found = 1, dupmiss = 1, current = 1,
                  iterations = 1})
    os.remove(path)
  end),

  case("a released name stays with its entry when the ring empties", function()
    local path = os.tmpname()
    local child = spawn_live(path, 3, 3)
    local target = link_of(child, 3)
    dc.DriftOpen(child, 3)
    dc.DriftDupTrackPossibleClose(child, 9, 3)
    local r = t.pack(dc.DriftDup(child, 9, 3))
    t.eq(r.n, 1, "one result")
    t.eq(r[1], target, "name")
    expect_stats({track = 1, open = 1, dupname = 1, found = 1, dupmiss = 1})
    os.remove(path)
  end),

  case("dup pre-check: unreadable name, old tracked, nothing tracked, empty ring", function()
    t.eq(dc.DriftDupTrackPossibleClose(100, 3, 5), false, "empty ring")
    expect_stats({dupnamemiss = 1, dupmiss = 1})
    dc.DriftOpen(NO_PROCESS, 5)
    t.eq(select("#", dc.DriftDupTrackPossibleClose(NO_PROCESS, 3, 5)), 0, "new tracked")
    t.eq(select("#", dc.DriftDupTrackPossibleClose(NO_PROCESS, 5, 6)), 0, "old tracked")
    local r = t.pack(dc.DriftDupTrackPossibleClose(NO_PROCESS, 7, 8))
    t.eq(r.n, 1, "one result")
    t.eq(r[1], false, "neither tracked")
    expect_stats({track = 1, open = 1, dupnamefail = 1, dupnamemiss = 3, dupmiss = 2,
                  current = 1, iterations = 3})
  end),

  case("dup post-event with only (100, 3) tracked adds (100, 5)", function()
    dc.DriftOpen(100, 3)
    local r = t.pack(dc.DriftDup(100, 3, 5))
    t.eq(r.n, 2, "two results")
    t.eq(r[1], nil, "no name")
    t.eq(r[2], true, "tracked")
    expect_stats({track = 2, open = 1, dup = 1, current = 2, iterations = 1})
    t.eq((dc.DriftClose(100, 5)), true, "new descriptor tracked")
    t.eq((dc.DriftClose(100, 3)), true, "old descriptor still tracked")
  end),

  case("dup post-event misses", function()
    local r = t.pack(dc.DriftDup(100, 3, 5))
    t.eq(r.n, 1, "empty: one result")
    t.eq(r[1], nil, "nil")
    dc.DriftOpen(100, 9)
    r = t.pack(dc.DriftDup(100, 3, 5))
    t.eq(r.n, 1, "neither: one result")
    expect_stats({track = 1, open = 1, dupmiss = 2, current = 1, iterations = 2})
  end),

  case("DriftClear frees the captured names", function()
    local path = os.tmpname()
    local children = {}
    for i = 1, 5 do children[i] = spawn_live(path, 0, 9) end  -- descriptors 0 to 9 on the file
    for _, c in ipairs(children) do link_of(c, 9) end
    for round = 1, 3 do
      for _, c in ipairs(children) do
        for fd = 0, 9 do
          dc.DriftOpen(c, fd)
          dc.DriftDupTrackPossibleClose(c, 99, fd)
        end
      end
      for fd = 1, 14 do dc.DriftOpen(NO_PROCESS, fd) end
      local s = dc.DriftStats()
      t.eq(s.current, 64, "round " .. round)
      t.eq(s.dupname, 50, "named entries")
      t.eq(s.overflow, 0, "none dropped")
      dc.DriftClear()
      expect_stats({}, "after clear")
      t.eq(dc.DriftStats().cooldown, 0, "cooldown")
    end
    -- names captured after a clear are whole
    dc.DriftOpen(children[1], 3)
    dc.DriftDupTrackPossibleClose(children[1], 99, 3)
    t.eq((dc.DriftDup(children[1], 99, 3)), link_of(children[1], 3), "name")
    os.remove(path)
  end),

  case("arguments must be integers; a full 32-bit pid and a negative fd", function()
    t.raises("bad argument #2", dc.DriftOpen, 1)
    t.raises("number expected", dc.DriftClose, "x", 1)
    t.raises("bad argument #3", dc.DriftDup, 1, 2)
    t.raises("bad argument #1", dc.DriftCondOpen)
    t.raises("bad argument #2", dc.DriftDupTrackPossibleClose, 1, {}, 3)
    -- the lock is free again after the errors
    dc.DriftOpen(4000000000, -1)
    t.eq((dc.DriftClose(4000000000, -1)), true, "full 32-bit pid and negative fd")
    expect_stats({track = 1, open = 1, found = 1})
  end),
}
