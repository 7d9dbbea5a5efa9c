-- (5) Scaling: N get workers under acagent, each with its own handle on the
-- simulated driver, deciding cached verdicts in the fast path at once.
--
--   LD_PRELOAD=build/libvavasim.so:build/bench/libbenchalloc.so \
--     build/acagent -w N bench/scaling.lua BUILD_DIR CSV_FILE [EVENTS_PER_WORKER]
--
-- Every worker repeats rounds of: queue a round of records on its own handle,
-- then one get that answers them all. The time inside get is measured per
-- worker; the wall time covers all workers from the first start to the last
-- end, queueing included. Appends one CSV row per scenario to CSV_FILE and
-- prints them as a table.
local build, csv_file, per_worker = ...
per_worker = tonumber(per_worker) or 60000
package.cpath = build .. "/bench/?.so;" .. build .. "/?.so;" .. package.cpath
local B = require "benchlib"
local sim = require "vavasim"
local lacdc = require "lacdc"
local T = lacdc.type
local W = workers

local function self_pid()
  local f = assert(io.open("/proc/self/stat"))
  local pid = f:read("*n")
  f:close()
  return pid
end

-- A program started in dir; returns its pid once /proc shows the program.
local function spawn(cmd, exe, dir, redirs)
  local p = io.popen(string.format("cd '%s' && (sh -c 'echo $$ >&3; exec %s 3>&-' 3>&1 %s >/dev/null 2>&1 </dev/null &)",
    dir, cmd, redirs or ""))
  local pid = tonumber(p:read("*l"))
  p:close()
  for _ = 1, 500 do
    local f = io.popen("readlink /proc/" .. pid .. "/exe")
    local path = f:read("*l")
    f:close()
    if path and path:match(exe) then return pid end
    os.execute("sleep 0.01")
  end
  error(cmd .. " did not start")
end

local dir = "/srv/acengine-scaling." .. self_pid()
if worker == 1 then
  os.execute("rm -rf " .. dir .. " && mkdir -p " .. dir .. " && cp /usr/bin/true " .. dir .. "/tool")
  os.execute("echo 'echo hi' > " .. dir .. "/run.sh && echo data > " .. dir .. "/out.dat")
  -- The caller holds the program on descriptor 5 and the data file on 6 to 9
  -- (one per worker); the shell is an interpreter of .sh scripts.
  local data = dir .. "/out.dat"
  B.add("caller", spawn("sleep 3600", "sleep$", dir, "5<" .. dir .. "/tool 6>>" .. data .. " 7>>" .. data ..
    " 8>>" .. data .. " 9>>" .. data))
  B.add("shell", spawn("bash -c \"sleep 3600; :\"", "bash$", dir))
  sim.reset()
  sim.setup{hook = true, driver = true, node = true}
  lacdc.ClearCache()
  lacdc.DriftClear()
  lacdc.AddToCache(dir .. "/tool", 1)
  lacdc.AddToCache(dir .. "/run.sh", 1)
end
B.barrier(W)
local caller, shell = B.value("caller"), B.value("shell")

-- Handles opened in worker order: handle number = worker number.
local h
for i = 1, W do
  if worker == i then h = assert(lacdc.open(sim.exitchannel())) end
  B.barrier(W)
end

local tool, data_fd = dir .. "/tool", 5 + worker
local exec = {type = T.execve_pre, pid = caller, fd = -100, name = tool}
local scenarios = {
  {name = "exec_approved_hit", round = 32, records = {exec}},
  {name = "mixed", round = 30, records = {
    exec,
    {type = T.close_pre, pid = caller, fd = 77},
    {type = T.open_post, pid = caller, fd = data_fd, rc = data_fd, flags = 0x241, name = dir .. "/out.dat"},
    {type = T.close_pre, pid = caller, fd = data_fd},
    {type = T.open_pre, pid = shell, fd = -100, name = "run.sh"},
    {type = T.mmap_pre, pid = caller, fd = 5, mode = 5},
  }},
}

local function run(s)
  local rounds = math.floor(per_worker / s.round)
  local recs, n, id = s.records, #s.records, worker * 100000000
  local busy, allocs = 0, 0
  local now, push, get = B.now, sim.push, h.get
  B.barrier(W)
  local t0 = now()
  for _ = 1, rounds do
    for i = 0, s.round - 1 do
      local r = recs[i % n + 1]
      id = id + 1
      r.id = id
      push(r, worker)
    end
    local a0 = B.allocs() or 0
    local g0 = now()
    local ev, code, msg = get(h, 0, 1, 0, 0, "", 0, 0)
    busy = busy + (now() - g0)
    allocs = allocs + ((B.allocs() or 0) - a0)
    if ev or code ~= -4 then error("worker " .. worker .. ": not answered in the fast path: " .. tostring(msg)) end
  end
  local t1 = now()
  local key = s.name .. ":"
  local events = rounds * s.round
  B.min(key .. "t0", t0)
  B.max(key .. "t1", t1)
  B.add(key .. "events", events)
  B.add(key .. "busy", busy)
  B.add(key .. "rate", events / busy)
  B.add(key .. "allocs", allocs)
  B.barrier(W)
  if worker ~= 1 then return end
  local total = B.value(key .. "events")
  local wall = B.value(key .. "t1") - B.value(key .. "t0")
  local row = {
    workers = W,
    scenario = s.name,
    events = total,
    wall_s = wall,
    events_per_s = total / wall,
    get_ns_per_event = B.value(key .. "busy") / total * 1e9,
    get_events_per_s = B.value(key .. "rate"),
    allocs_per_event = B.allocs() and B.value(key .. "allocs") / total or -1,
  }
  return row
end

local columns = {"workers", "scenario", "events", "wall_s", "events_per_s", "get_ns_per_event", "get_events_per_s",
  "allocs_per_event"}
local rows = {}
for _, s in ipairs(scenarios) do rows[#rows + 1] = run(s) end
h:close()

if worker == 1 then
  local replies = #sim.replies()
  local f = io.open(csv_file, "r")
  local fresh = f == nil
  if f then f:close() end
  f = assert(io.open(csv_file, "a"))
  if fresh then f:write(table.concat(columns, ","), "\n") end
  print(string.format("%-8s %-18s %10s %10s %14s %16s %16s %10s", table.unpack(columns)))
  for _, r in ipairs(rows) do
    local cells = {}
    for i, c in ipairs(columns) do cells[i] = tostring(r[c]) end
    f:write(table.concat(cells, ","), "\n")
    print(string.format("%-8d %-18s %10d %10.3f %14.0f %16.1f %16.0f %10.4f", r.workers, r.scenario, r.events,
      r.wall_s, r.events_per_s, r.get_ns_per_event, r.get_events_per_s, r.allocs_per_event))
  end
  f:close()
  local expected = 0
  for _, r in ipairs(rows) do expected = expected + r.events end
  if replies ~= expected then error(replies .. " replies for " .. expected .. " events") end
  os.execute("kill " .. caller .. " " .. shell .. " 2>/dev/null; rm -rf " .. dir)
end
