-- The fresh filter and the monitored-path filter as the policy code calls them.
local t = require "testlib"
local lacdc = require "lacdc"

t.run {
  {"DriftFreshFilter builds the record or passes a failed command through", function()
    local reply = string.rep("\0", 8) .. "\32\0\0\0\32\0\0\0\9\0\0\0"
    local rec = assert(lacdc.DriftFreshFilter(reply))
    t.eq(#rec, 84, "record size")
    t.eq(rec:sub(1, 16), '"setfilefilter"\0', "command name")
    t.eq(rec:byte(17), 9, "id")
    local r = t.pack(lacdc.DriftFreshFilter(nil, 22, "command(): Invalid argument (22)"))
    t.eq(r.n, 3, "all arguments back"); t.eq(r[3], "command(): Invalid argument (22)", "message")
    r = t.pack(lacdc.DriftFreshFilter())
    t.eq(r[1], nil, "nil"); t.eq(r[2], "missing getFileFilter", "no reply")
    r = t.pack(lacdc.DriftFreshFilter("short"))
    t.eq(r[2], "missing getfilefilter args (5)", "short reply")
  end},

  {"quickIMFilter", function()
    t.eq(lacdc.quickIMFilter("/srv/www/x.txt", "txt", "/opt/app;/srv"), true, "prefix")
    t.eq(lacdc.quickIMFilter("/home/x.txt", "txt", "/opt/app;/srv"), false, "elsewhere")
    t.eq(lacdc.quickIMFilter("/home/x.Sh", "Sh", ""), true, "executable extension")
    t.raises("extension too long", lacdc.quickIMFilter, "/x", "manifest", "")
    t.raises("string expected", lacdc.quickIMFilter, "/x", "")
  end},
}
