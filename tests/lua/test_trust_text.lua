-- The pure parts of the trust policy: dpkg's file formats and the JSON text of
-- the decision log (a hostile file name must stay one valid line).
local t = require "testlib"
local lacdc = require "lacdc"
package.path = t.source .. "/?.lua;" .. package.path
package.preload["acagent.files"] = function() return {} end  -- only the readers run here
local dpkg = require "trust.dpkg_index"
local json = require "trust.json_text"
local trust_list = require "trust.trust_list"

t.run {
  {"md5sums and list files", function()
    local sums = dpkg.parse_md5sums("0123456789abcdef0123456789ABCDEF  usr/bin/a b\n" ..
                                    "bad  usr/bin/short\nfedcba98765432100123456789abcdef  usr/lib/x\n")
    t.eq(t.show(#sums, sums[1][1], sums[1][2], sums[2][1]), t.show(2, "/usr/bin/a b",
         "0123456789abcdef0123456789abcdef", "/usr/lib/x"), "md5sums")
    t.eq(table.concat(dpkg.parse_list("/.\n/usr\n/usr/bin/a b\nrelative\n"), "|"), "/usr|/usr/bin/a b", "list")
    local conf = dpkg.parse_conffiles("\nPackage: p\nConffiles:\n /etc/a b 0123456789abcdef0123456789abcdef\n" ..
      " /etc/old 0123456789abcdef0123456789abcdef obsolete\n /etc/new newconffile\nDescription: d\n /etc/x 0123\n")
    t.eq(t.show(conf["/etc/a b"], conf["/etc/old"], conf["/etc/new"], conf["/etc/x"]),
         t.show("0123456789abcdef0123456789abcdef", nil, nil, nil), "conffiles")
  end},
  {"the administrator's list: entries survive a round trip; malformed lines are skipped", function()
    local sha = ("ab"):rep(32)
    local entries = {{"file", "/opt/a tool", sha}, {"digest", sha}, {"dir", "/opt/x/"}}
    local text = trust_list.format(entries)
    t.eq(trust_list.format(trust_list.parse(text .. "file abc /short\ndigest xyz\ndir relative\n")), text, "round trip")
    local ix = trust_list.index(trust_list.parse("dir /opt/x\n"))
    t.eq(ix.dirs[1], "/opt/x/", "a directory without its final slash")
  end},
  {"JSON strings: escapes, valid UTF-8 kept, invalid bytes replaced and given in hex", function()
    for _, c in ipairs {
      {"plain/name", '{"p":"plain/name"}'},
      {'a"b\\c\n\r\t\1\127', '{"p":"a\\"b\\\\c\\n\\r\\t\\u0001\\u007f"}'},
      {"caf\195\169 \226\130\172", '{"p":"caf\195\169 \226\130\172"}'},
      {"x\255y\192\175", '{"p":"x\\ufffdy\\ufffd\\ufffd","p_hex":"78ff79c0af"}'},  -- bad byte, overlong
      {"\237\160\128", '{"p":"\\ufffd\\ufffd\\ufffd","p_hex":"eda080"}'},         -- a surrogate
    } do
      local line = json.object {{"p", c[1]}, {"none", nil}}
      t.eq(line, c[2], ("%q"):format(c[1]))
      assert(not line:find("[%z\1-\31]"), "a control byte in the line")
    end
    local d = lacdc.decode(json.object {{"path", '/tmp/we"ird\nname'}, {"pid", 42}, {"hashed", false}})
    t.eq(t.show(d.path, d.pid, d.hashed), t.show('/tmp/we"ird\nname', 42, false), "decoded")
  end},
}
