-- Added latency of the simulated driver's live mode (sim/live.h): the time of
-- one exec, of one open for reading and of one open for writing (with
-- truncation) of a file on a tmpfs, each with its close, done by another
-- process (build/live_ops, run without any preload), with the engine
-- answering every event in its fast path (an object-cache hit for the exec,
-- an ignored non-script open for the opens, a tracked open-post and an
-- ignored close for the write), against the same operations on the same
-- tmpfs without the watch.
--
-- The runs of each operation are split into batches that alternate between
-- watch off and watch on, so that a load change on the machine hits both
-- sides alike; the samples of all batches are pooled.
--
-- Run it through bench/live_latency.sh, which makes the private mount
-- namespace and preloads the simulated driver:
--   bench/live_latency.sh [build-dir] [runs per side] [batches]
local build = assert(arg[1], "build directory")
local runs = tonumber(arg[2]) or 200
local batches = tonumber(arg[3]) or 10
local per_batch = math.max(1, math.floor(runs / batches))
local source = arg[0]:match("(.*)/bench/[^/]*$") or "."
package.path = source .. "/examples/?.lua;" .. source .. "/policy/?.lua;" .. package.path
local lacdc = require "lacdc"
local sim = require "vavasim"
local policy = require "policy"
local ops = build .. "/live_ops"

local function sh(cmd)
  local p = io.popen(cmd)
  local out = p:read("*a")
  p:close()
  return out
end

local dir = sh("mktemp -d /run/aclive-bench.XXXXXX 2>/dev/null || mktemp -d /srv/aclive-bench.XXXXXX"):match("[^\n]+")
assert(dir and os.execute("mount -t tmpfs -o size=64m aclive " .. dir), "cannot mount a tmpfs")
os.execute("mkdir " .. dir .. "/bin && cp /usr/bin/true " .. dir .. "/bin/tiny && echo data > " .. dir .. "/data.txt")
local tiny, data = dir .. "/bin/tiny", dir .. "/data.txt"
policy.trusted_dirs = {dir .. "/bin/"}

sim.reset()
sim.setup{hook = true, driver = true, node = true}
local h = assert(lacdc.open())
local opts = {lockdown = 1}

-- Runs live_ops and returns the time of each run in microseconds. Without
-- the watch, this process just waits for it (reading its output); with it,
-- live_ops runs in the background while this process answers the events.
local function measure(kind, path, n, serve)
  local cmd = string.format("env -u LD_PRELOAD %s %s %s %d all", ops, kind, path, n)
  local text
  if not serve then
    local p = io.popen(cmd)
    text = p:read("*a")
    p:close()
  else
    local out = os.tmpname()
    os.execute(string.format("( %s >%s 2>&1; mv %s %s.done ) &", cmd, out, out, out))
    while true do
      local f = io.open(out .. ".done")
      if f then text = f:read("*a"); f:close(); break end
      local ev = h:get(20, 1, opts.lockdown, 0, "", 0, 0)
      if ev then
        local reply = policy.decide(ev, opts)
        if reply then h:reply(ev, reply) end
      end
    end
    os.remove(out .. ".done")
  end
  assert(text:match("^ok "), kind .. " failed: " .. text)
  local samples = {}
  for v in text:gmatch("\n([%d.]+)") do samples[#samples + 1] = tonumber(v) end
  assert(#samples == n, "samples")
  return samples
end

local function summary(samples)
  local v, total = {}, 0
  for i, x in ipairs(samples) do v[i] = x; total = total + x end
  table.sort(v)
  local function at(q) return v[math.min(#v, math.floor(#v * q) + 1)] end
  return {n = #v, mean = total / #v, p50 = at(0.5), p90 = at(0.9), p99 = at(0.99)}
end

local kinds = {"exec", "open", "openw"}
local pooled = {}
for _, k in ipairs(kinds) do pooled[k] = {off = {}, on = {}} end
local counts = {records = 0, timeouts = 0, exec_pre = 0, open_pre = 0, open_post = 0, close_pre = 0, followups = 0}
local per_kind = {}  -- replied, held_us and reader_us while measuring each kind
local stats0 = lacdc.EventAbstractionStats()
for _ = 1, batches do
  for _, kind in ipairs(kinds) do
    local path = kind == "exec" and tiny or data
    for _, x in ipairs(measure(kind, path, per_batch, false)) do table.insert(pooled[kind].off, x) end
    sim.live{mount = dir}
    measure(kind, path, 1, true)  -- warm-up; the first exec puts the program in the object cache
    local before = sim.live()
    for _, x in ipairs(measure(kind, path, per_batch, true)) do table.insert(pooled[kind].on, x) end
    local after = sim.live()
    for k in pairs(counts) do counts[k] = counts[k] + after[k] - before[k] end
    local pk = per_kind[kind] or {replied = 0, held_us = 0, reader_us = 0}
    for k in pairs(pk) do pk[k] = pk[k] + after[k] - before[k] end
    per_kind[kind] = pk
    sim.live(false)
  end
end
local stats = lacdc.EventAbstractionStats()

print(string.format("%d runs per side in %d alternating batches (microseconds per operation)",
                    per_batch * batches, batches))
print(string.format("%-5s %-6s %9s %9s %9s %9s", "op", "watch", "mean", "p50", "p90", "p99"))
for _, kind in ipairs(kinds) do
  local off, on = summary(pooled[kind].off), summary(pooled[kind].on)
  for _, row in ipairs {{"off", off}, {"on", on}} do
    local s = row[2]
    print(string.format("%-5s %-6s %9.1f %9.1f %9.1f %9.1f", kind, row[1], s.mean, s.p50, s.p90, s.p99))
  end
  print(string.format("%-5s %-6s %9.1f %9.1f %9.1f %9.1f", kind, "added", on.mean - off.mean, on.p50 - off.p50,
                      on.p90 - off.p90, on.p99 - off.p99))
end
print("of which, per operation with the watch (means; the rest is the kernel's part and the wakeups):")
for _, kind in ipairs(kinds) do
  local pk, ops_n = per_kind[kind], #pooled[kind].on
  print(string.format("  %-5s %.1f replies; from reading the event to the answer %6.1f us, of which building the record %5.1f us",
                      kind, pk.replied / ops_n, pk.held_us / ops_n, pk.reader_us / ops_n))
end
print(string.format("live records while measuring: %d exec-pre, %d open-pre, %d open-post, %d close-pre, %d in all;",
                    counts.exec_pre, counts.open_pre, counts.open_post, counts.close_pre, counts.records))
print(string.format("  %d exec follow-up opens allowed at once; %d timeouts", counts.followups, counts.timeouts))
print(string.format("engine: %d events, %d answered in the fast path, %d handed to Lua (the warm-up exec)",
                    stats.total_events - stats0.total_events, stats.eagain_return - stats0.eagain_return,
                    stats.lua_return - stats0.lua_return))
h:close()
-- A lazy unmount where the plain one finds the mount still busy (only this
-- namespace has it); the directory is on the machine's file system.
if not os.execute("{ umount " .. dir .. " 2>/dev/null || umount -l " .. dir .. "; } && rmdir " .. dir) then
  io.stderr:write("could not remove " .. dir .. "\n")
end
