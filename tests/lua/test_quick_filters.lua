-- The fresh filter and the monitored-path filter as the policy code calls them.
local t = require "testlib"
local lacdc = require "lacdc"

t.run {
  {"DriftFreshFilter builds the record or passes a failed command through", function()
    local rec = assert(lacdc.DriftFreshFilter(string.rep("\0", 8) .. "\32\0\0\0\32\0\0\0\9\0\0\0"))
    t.eq(#rec .. " " .. rec:sub(1, 16) .. rec:byte(17), '84 "setfilefilter"\0' .. "9", "size, command name, id")
    local msg = "command(): Invalid argument (22)"
    t.eq(t.show(lacdc.DriftFreshFilter(nil, 22, msg)), t.show(nil, 22, msg), "all arguments back")
    t.eq(select(2, lacdc.DriftFreshFilter()), "missing getFileFilter", "no reply")
    t.eq(t.show(lacdc.DriftFreshFilter("short")), t.show(nil, "missing getfilefilter args (5)"), "short reply")
  end},

  {"quickIMFilter", function()
    t.eq(lacdc.quickIMFilter("/srv/www/x.txt", "txt", "/opt/app;/srv"), true, "prefix")
    t.eq(lacdc.quickIMFilter("/home/x.txt", "txt", "/opt/app;/srv"), false, "elsewhere")
    t.eq(lacdc.quickIMFilter("/home/x.Sh", "Sh", ""), true, "executable extension")
    t.raises("extension too long", lacdc.quickIMFilter, "/x", "manifest", "")
    t.raises("string expected", lacdc.quickIMFilter, "/x", "")
  end},
}
