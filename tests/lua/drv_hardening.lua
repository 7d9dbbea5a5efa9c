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

  {"a closed handle keeps no descriptor number that another open may reuse", function()
    local h1 = d.ready()
    h1:close()
    local h2 = assert(lacdc.open())
    sim.push{type = T.close_post, id = 7, pid = 1}
    local ebadf = "nil | 9 | %s(): Bad file descriptor fd=-1 (9)"
    t.eq(d.show(h1:gettest(0)), ebadf:format("poll"), "gettest")
    t.eq(d.show(h1:reply({id = 7}, lacdc.REPLY_ALLOW)), ebadf:format("reply"), "reply")
    t.eq(d.show(h1:command("x")), ebadf:format("command"), "command")
    t.eq(#sim.replies() + #sim.commands(), 0, "nothing reached the driver")
    t.eq(h2:gettest(0).id, 7, "the record stays for its handle")
    t.eq(d.show(h1:close()), "nil | 0 | Double close", "close again")
  end},
}
