-- The fast-path test entry: events described by tables, no driver.
local t = require "testlib"
local lacdc = require "lacdc"


t.run {
  {"an unsupported type is answered with an error", function()
    local before = lacdc.EventAbstractionStats()
    local r = t.pack(lacdc.AbstractEvent{type = 31})
    t.eq(r.n, 2, "result and reply code"); t.eq(r[1], 11, "answered"); t.eq(r[2], lacdc.REPLY_ERROR, "error")
    local after = lacdc.EventAbstractionStats()
    for _, k in ipairs {"event_not_handled", "total_events", "ac_error"} do t.eq(after[k] - before[k], 1, k) end
  end},

  {"a script open by a non-interpreter is ignored", function()
    local r = t.pack(lacdc.AbstractEvent{type = 24, rlpath = "/srv/app/run.sh", procName = "/usr/bin/sleep"})
    t.eq(r[1], 11, "answered"); t.eq(r[2], lacdc.REPLY_IGNORE, "ignored")
  end},

  {"an exec in lockdown of a blocked program", function()
    lacdc.AddToCache("/srv/app/tool", 3)
    local r = t.pack(lacdc.AbstractEvent{type = 32, lockdown = 1, rlpath = "/srv/app/tool", procName = "/usr/bin/sleep"})
    t.eq(r[1], 1, "blocked and handed to Lua"); t.eq(r[2], lacdc.REPLY_BLOCK, "block")
    lacdc.AddToCache("/srv/app/tool", 2)
    r = t.pack(lacdc.AbstractEvent{type = 32, lockdown = 0, rlpath = "/srv/app/tool", procName = "/usr/bin/sleep"})
    t.eq(r[2], lacdc.REPLY_ALLOW, "unrecognized outside lockdown")
    lacdc.RemoveFromCache("/srv/app/tool")
    r = t.pack(lacdc.AbstractEvent{type = 32, rlpath = "/srv/app/tool", procName = "/usr/bin/sleep"})
    t.eq(r.n, 2, "missing file: ignored"); t.eq(r[2], lacdc.REPLY_IGNORE, "not evaluable")
  end},

  {"a chmod pre event is always ignored; a failed chmod post too", function()
    local r = t.pack(lacdc.AbstractEvent{type = 26})
    t.eq(r[1], 11, "answered"); t.eq(r[2], lacdc.REPLY_IGNORE, "ignored")
    r = t.pack(lacdc.AbstractEvent{type = 27, rc = -1, rlpath = "/x", procName = "/bin/sh"})
    t.eq(r[2], lacdc.REPLY_IGNORE, "failed chmod")
  end},

  {"a rename into a monitored directory reaches Lua without reply", function()
    local r = t.pack(lacdc.AbstractEvent{type = 35, basedir = "/srv", rlpath = "/srv/new.txt", procName = "/bin/mv"})
    t.eq(r.n, 1, "no reply code"); t.eq(r[1], 0, "handed to Lua")
  end},

  {"argument checks", function()
    t.raises("Lua table expected", lacdc.AbstractEvent, "x")
    t.raises("number expected", lacdc.AbstractEvent, {})
  end},
}
