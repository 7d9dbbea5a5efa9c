-- The fast-path test entry: events described by tables, no driver. Results:
-- 11 answered here, 1 answered and handed to Lua, 0 handed to Lua alone.
local t, lacdc = require "testlib", require "lacdc"
local tool, sleep, IGNORED = "/srv/app/tool", "/usr/bin/sleep", "11, " .. lacdc.REPLY_IGNORE
t.run {{"answers by event and verdict; argument checks", function()
  for _, c in ipairs {  -- what, cache type of the tool (false: none), event, results
    {"unsupported type", nil, {type = 31}, "11, " .. lacdc.REPLY_ERROR},
    {"script open by a non-interpreter", nil, {type = 24, rlpath = "/srv/app/run.sh", procName = sleep}, IGNORED},
    {"exec of a blocked program in lockdown", 3, {type = 32, lockdown = 1, rlpath = tool, procName = sleep}, "1, " .. lacdc.REPLY_BLOCK},
    {"exec of an unrecognized program", 2, {type = 32, lockdown = 0, rlpath = tool, procName = sleep}, "1, " .. lacdc.REPLY_ALLOW},
    {"exec of a missing file is not evaluable", false, {type = 32, rlpath = tool, procName = sleep}, IGNORED},
    {"failed chmod post", nil, {type = 27, rc = -1, rlpath = "/x", procName = "/bin/sh"}, IGNORED},
    {"rename into a monitored directory", nil, {type = 35, basedir = "/srv", rlpath = "/srv/new.txt", procName = "/bin/mv"}, "0"},
  } do
    if c[2] then lacdc.AddToCache(tool, c[2]) elseif c[2] == false then lacdc.RemoveFromCache(tool) end
    t.eq(t.show(lacdc.AbstractEvent(c[3])), c[4], c[1])
  end
  t.raise_all {{"Lua table expected", lacdc.AbstractEvent, "x"}, {"number expected", lacdc.AbstractEvent, {}}}
end}}
