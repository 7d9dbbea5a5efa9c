-- Misuse and hostile input at the edges of the engine: wrong userdata, stale
-- handles, dead channels, failing replies, overlong names, special files,
-- hidden NULs and integers out of their field's range.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc, T = d.sim, d.lacdc, d.T

t.run {
  {"a full userdata is refused where a pointer is expected", function()
    d.ready()
    t.raises("light userdata expected", lacdc.open, io.tmpfile())
    t.raises("light userdata expected", lacdc.open_worker, io.tmpfile())
    t.raises("light userdata expected", lacdc.profiler, io.stdout, io.stdout)
    t.eq(d.show(lacdc.open(sim.null())), "nil | -1 | ShouldExitChannel not setup:  (-1)", "null pointer")
  end},

}
