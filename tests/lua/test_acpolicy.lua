-- The policy helper module: get's named options, the names of a value, one-line event text.
local t, acpolicy, lacdc = require "testlib", require "acpolicy", require "lacdc"
local function names(g, v) return table.concat(acpolicy.names(g, v), " ") end
local args = {get = function(self, ...) return t.show(...) end}  -- a handle that shows what get received
t.run {
  {"get passes the seven options in order, with defaults, booleans as numbers, and refuses a misspelt one", function()
    t.eq(acpolicy.get(args), '1000, 1, 0, 0, "", 0, 0', "all defaults")
    t.eq(acpolicy.get(args, {timeout = -1, ac_on = false, lockdown = true, logMode = 2, basedir = "/srv;/opt",
                             maintenanceMode = 1, startTime = 1.5e12}),
         '-1, 0, 1, 2, "/srv;/opt", 1, 1500000000000', "each option in its place")
    t.raises("unknown get option 'log'", acpolicy.get, args, {log = 1})
    t.eq(acpolicy.cache.block, 3, "cache types by name")
  end},
  {"names gives every name that reads a value, full and short, within its group only", function()
    t.eq(names("CreationDisposition", 2) .. "|" .. names("CreationDisposition", 4), "CREATE_ALWAYS|OPEN_ALWAYS always",
         "a short name shared by two constants belongs to the value it reads")
    t.eq(names("action", 3) .. "|" .. names("reply", 3) .. "|" .. names("event", 24) .. "|" .. names("entity", 9),
         "ERROR error|REPLY_BLOCK block|EVENT_OPEN_PRE open_pre|", "groups kept apart; no name: empty")
    t.eq(acpolicy.groups.reply.ERROR, nil, "ERROR is the action, not the reply")
    t.raises("unknown constant group 'replies'", acpolicy.names, "replies", 1)
  end},
  {"describe renders one line, names escaped", function()
    t.eq(acpolicy.describe {type = lacdc.EVENT_CLOSE_PRE, bind_action = lacdc.REPLY_IGNORE, isdrift = true,
                            realpath = '/x/a"b\\c\nd\tz\1'},
         [[bind_action=4(ignore) isdrift=true realpath="/x/a\"b\\c\nd\tz\x01" type=30(close_pre)]], "escaped")
  end},
}
