-- Drift tracker from several Lua states in several threads at once. Each
-- worker uses its own pids and descriptors and keeps at most five entries
-- live, so the ring (64) never overflows and the totals are exact at the end.
local dc = require "lacdc"
local ROUNDS, me, n = 2000, assert(worker, "run under acagent"), workers
local function check(cond, what) if not cond then error(what, 2) end end

-- Pids above the largest pid_max: name captures for them fail (dupnamefail).
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
  dc.DriftOpen(p, 1)
  dc.DriftCondOpen(p, 1)  -- found
  dc.DriftCondOpen(p, 2)  -- added
  for _, what in ipairs {"dup of a tracked descriptor", "dup onto a tracked descriptor, no name"} do
    dc.DriftDupTrackPossibleClose(p, 1, 3)
    local name, tracked = dc.DriftDup(p, 1, 3)
    check(name == nil and tracked == true, what)
  end
  for fd = 1, 3 do check(dc.DriftClose(p, fd) == true, "close of tracked " .. fd) end
  check(dc.DriftClose(p, 9) == false, "close of untracked")
  dc.DriftOpen(self, myfd)
  dc.DriftDupTrackPossibleClose(self, 100000 + me, myfd)
  check(dc.DriftDup(self, 100000 + me, myfd) == path, "captured name")
  if i % 100 == 0 then check(dc.DriftStats().current <= 5 * n, "live entries") end
end

-- Barrier: one marker entry per worker; condopen is final only when every
-- worker has done all its rounds and its marker.
dc.DriftCondOpen(0x30000000, me)
local deadline, s = os.time() + 60
repeat
  s = dc.DriftStats()
  check(os.time() < deadline, "other workers did not finish: condopen " .. s.condopen)
until s.condopen == n * ROUNDS + n

local N = n * ROUNDS
for k, v in pairs {track = 5 * N + n, open = 2 * N, overflow = 0, losttrack = 0, lostcheck = 0, found = 5 * N,
                   notfound = N, dirt = N, condfound = N, dup = 2 * N, dupmiss = N, dupname = N, dupnamefail = N,
                   dupnamemiss = N, current = n, total = 5 * N + n} do
  check(s[k] == v, k .. " = " .. tostring(s[k]) .. ", want " .. v)
end
file:close()
os.remove(path)
