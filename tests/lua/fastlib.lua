-- Helpers for fast-path tests over the simulated driver: a work directory
-- outside every excluded location, acting processes, and counter deltas.
local t = require "testlib"
local d = require "drvlib"
local M = {}

function M.workdir()
  local dir = "/srv/acengine-test." .. d.mypid()
  os.execute("rm -rf " .. dir .. " && mkdir -p " .. dir)
  return dir
end

function M.write(path, text, mode)
  local f = assert(io.open(path, "w"))
  f:write(text or "content\n")
  f:close()
  if mode then os.execute(string.format("chmod %o '%s'", mode, path)) end
  return path
end

-- Counter deltas since the snapshot was taken.
function M.counters()
  local before = d.lacdc.EventAbstractionStats()
  local bind0 = d.lacdc.BindStats().exclude_filter
  return function(name)
    if name == "exclude_filter" then return d.lacdc.BindStats().exclude_filter - bind0 end
    return d.lacdc.EventAbstractionStats()[name] - before[name]
  end
end

-- get with explicit options; returns the event table, or nil when the fast
-- path answered everything (timeout).
function M.get(h, opts)
  opts = opts or {}
  local ev, code, msg = h:get(opts.timeout or 50, opts.ac_on or 1, opts.lockdown or 0, 0, opts.basedir or "",
                              opts.maintenanceMode or 0, opts.startTime or 0)
  if ev then return ev end
  t.eq(code, -4, "only a timeout may end a get here: " .. tostring(msg))
  return nil
end

-- The one reply the driver received since the last call.
function M.reply()
  local r = d.sim.replies()
  t.eq(#r, 1, "one reply")
  return r[1]
end

return M
