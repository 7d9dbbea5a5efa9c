-- acagent workers: 1
-- The trust policy's dpkg index and stored digests over a dpkg database made
-- here: an install, an upgrade (new content and checksum) and a removal are
-- seen by the next refresh, without reopening anything.
local t = require "testlib"
package.path = t.source .. "/?.lua;" .. package.path
-- LuaSQL's driver is in the system's module directories; the tests' path names only the build.
package.cpath = package.cpath .. ";/usr/local/lib/lua/5.2/?.so;/usr/lib/x86_64-linux-gnu/lua/5.2/?.so;" ..
                "/usr/lib/aarch64-linux-gnu/lua/5.2/?.so;/usr/lib/lua/5.2/?.so"
local ac = require "ac"
local database = require "trust.database"
local dpkg = require "trust.dpkg_index"
local judge = require "trust.judge"
local json = require "trust.json_text"
local trust_list = require "trust.trust_list"

local dir = t.sh("mktemp -d /tmp/actrustidx.XXXXXX"):match("%S+")
dpkg.root = dir .. "/dpkg"
os.execute(("mkdir -p %s/info %s/root"):format(dpkg.root, dir))
local prog, conf = dir .. "/root/prog", dir .. "/root/conf"
local function put(path, text) t.writefile(path .. ".tmp", text) assert(os.rename(path .. ".tmp", path)) end
local function md5(text) t.writefile(dir .. "/h", text) return json.hex(select(2, ac.HashAll(dir .. "/h"))) end
-- Installs (or upgrades to) package p with prog holding `text`; conf is its conffile.
local function install(text)
  put(prog, text)
  put(conf, "conf " .. text)
  put(dpkg.root .. "/info/p.md5sums", md5(text) .. "  " .. prog:sub(2) .. "\n")
  put(dpkg.root .. "/info/p.list", "/.\n" .. prog .. "\n" .. conf .. "\n")
  put(dpkg.root .. "/status", "Package: p\nConffiles:\n " .. conf .. " " .. md5("conf " .. text) .. "\nVersion: 1\n")
end

local db = database.open(dir .. "/trust.db")
local source, list = judge.stored(db), trust_list.index({})
local function verdict(path)
  local v = judge.judge(list, source, path)
  return t.show(v.trusted, v.package, v.hashed)
end

local ok, err = pcall(t.run, {
  {"install, upgrade, removal, each seen by the next refresh", function()
    install("v1")
    t.eq(dpkg.refresh(db), 1, "packages indexed")
    t.eq(dpkg.refresh(db), 0, "nothing changed")
    t.eq(verdict(prog), t.show(true, "p", true), "installed")
    t.eq(verdict(prog), t.show(true, "p", false), "again: not hashed")
    t.eq(verdict(conf), t.show(true, "p", true), "the conffile")
    install("v2")
    t.eq(dpkg.refresh(db), 1, "packages indexed after the upgrade")
    t.eq(verdict(prog), t.show(true, "p", true), "upgraded: hashed again")
    put(prog, "changed")
    t.eq(verdict(prog), t.show(false, "p", true), "changed after the upgrade")
    os.remove(dpkg.root .. "/info/p.md5sums")
    os.remove(dpkg.root .. "/info/p.list")
    put(dpkg.root .. "/status", "")
    t.eq(dpkg.refresh(db), 1, "packages dropped")
    t.eq(verdict(conf), t.show(false, nil, true), "removed")
  end},
})
db:close()
os.execute("rm -rf " .. dir)
if not ok then error(err, 0) end
