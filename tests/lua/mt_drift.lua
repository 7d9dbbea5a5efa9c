-- Drift tracker from several Lua states in several threads at once. Each
-- worker uses its own pids and descriptors and keeps at most five entries
-- live, so the ring (64) never overflows and the totals in DriftStats are
-- exact once every worker has finished.
local dc = require "lacdc"

local ROUNDS = 2000
local me, n = assert(worker, "run under acagent"), workers

local function check(cond, what)
  if not cond then error(what, 2) end
end
local function none(...) return select("#", ...) == 0 end

-- Process ids above the kernel's largest pid_max: never a live process, so
-- name captures for them fail (counted as dupnamefail).
local p = 0x20000000 + me * 0x10000

-- A real descriptor of this process for the name captures.
local self = assert(io.open("/proc/self/stat")):read("*n")
local path = os.tmpname()
local file = assert(io.open(path, "w"))
local myfd
for fd = 0, 4095 do
  if dc.GetFileNameFromPidAndFd(self, fd) == path then myfd = fd break end
end
check(myfd, "own descriptor not found for " .. path)

for i = 1, ROUNDS do
  -- open, conditional open (found and added), dup pre-check and dup post-event
  check(none(dc.DriftOpen(p, 1)), "DriftOpen results")
  dc.DriftCondOpen(p, 1)
  dc.DriftCondOpen(p, 2)
  for _, what in ipairs {"dup of a tracked descriptor", "dup onto a tracked descriptor, no name"} do
    check(none(dc.DriftDupTrackPossibleClose(p, 1, 3)), "pre-check: " .. what)
    local name, tracked = dc.DriftDup(p, 1, 3)
    check(name == nil and tracked == true, what)
  end
  for fd = 1, 3 do check(dc.DriftClose(p, fd) == true, "close of tracked " .. fd) end
  local dirty, fresh = dc.DriftClose(p, 9)
  check(dirty == false and type(fresh) == "boolean", "close of untracked")

  -- the possible-close capture with a real name
  dc.DriftOpen(self, myfd)
  check(none(dc.DriftDupTrackPossibleClose(self, 100000 + me, myfd)), "pre-check, capture")
  local r = table.pack(dc.DriftDup(self, 100000 + me, myfd))
  check(r.n == 1 and r[1] == path, "captured name " .. tostring(r[1]))

  if i % 100 == 0 then
    local s = dc.DriftStats()
    check(s.current <= 5 * n and s.max == 64, "live entries " .. s.current)
  end
end

-- Barrier: one marker entry per worker; condopen reaches its final value only
-- when every worker has done all its rounds and its marker.
dc.DriftCondOpen(0x30000000, me)
local deadline = os.time() + 60
local s
repeat
  s = dc.DriftStats()
  check(os.time() < deadline, "other workers did not finish: condopen " .. s.condopen)
until s.condopen == n * ROUNDS + n

local N = n * ROUNDS
local want = {
  track = 5 * N + n, open = 2 * N, overflow = 0, losttrack = 0, lostcheck = 0,
  found = 5 * N, notfound = N, dirt = N, newfilter = 0, condfound = N,
  condopen = N + n, dup = 2 * N, dupmiss = N, dupname = N, dupnamefail = N,
  dupnamemiss = N, dupnamenomem = 0, cooldown = 0, current = n, total = 5 * N + n, max = 64,
}
for k, v in pairs(want) do check(s[k] == v, k .. " = " .. tostring(s[k]) .. ", want " .. v) end

file:close()
os.remove(path)
