-- The trust database: one SQLite file (LuaSQL's driver) of the agent's
-- workers alone. No other process may open it while the agent runs: the
-- driver closes the descriptors fanotify hands it for the agent's own opens
-- of these files, and a close drops every POSIX lock the process holds on
-- the file, so SQLite's locks would not keep another process out. Tables:
--   pkgfile(path, pkg, md5)      the dpkg index: every file a package lists,
--                                with the MD5 dpkg recorded (NULL: none)
--   pkgsource(id, package, identity)  the packages, and the identity of the
--                                files each was indexed from
--   content(path, identity, sha256, md5)  digests of files hashed so far,
--                                valid while the file's identity (device,
--                                inode, size, mtime, ctime) is unchanged
--   meta(key, value)             dpkg_stamp
local driver = require "luasql.sqlite3"
local files = require "acagent.files"
local settings = require "trust.settings"

local M = {}
M.default_path = "/var/lib/acagent/trust.db"

function M.path() return settings.get("ACAGENT_TRUST_DB", M.default_path) end

local SCHEMA = {
  -- First, before anything that locks: a worker may wait for another's first
  -- index of the package database.
  "PRAGMA busy_timeout=60000",
  "PRAGMA journal_mode=WAL",
  "PRAGMA synchronous=NORMAL",
  "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT)",
  "CREATE TABLE IF NOT EXISTS pkgfile(path TEXT PRIMARY KEY, pkg INTEGER NOT NULL, md5 TEXT) WITHOUT ROWID",
  "CREATE INDEX IF NOT EXISTS pkgfile_pkg ON pkgfile(pkg)",
  "CREATE TABLE IF NOT EXISTS pkgsource(id INTEGER PRIMARY KEY, package TEXT UNIQUE NOT NULL, identity TEXT)",
  "CREATE TABLE IF NOT EXISTS content(path TEXT PRIMARY KEY, identity TEXT, sha256 TEXT, md5 TEXT) WITHOUT ROWID",
}

local Db = {}
Db.__index = Db

-- Opens (creating the file, its directory and the tables when needed).
-- Raises with the path on failure: a policy without its database cannot judge.
function M.open(path)
  path = path or M.path()
  local dir = path:match("^(.*)/[^/]*$")
  if dir and dir ~= "" then files.mkdir(dir, 448) end  -- 0700
  local env = assert(driver.sqlite3())
  local con, err = env:connect(path)
  if not con then error(("trust database %s: %s"):format(path, tostring(err)), 0) end
  local db = setmetatable({con = con, env = env, path = path}, Db)
  for _, sql in ipairs(SCHEMA) do
    local ok, e = pcall(db.exec, db, sql)
    if not ok then error(("trust database %s: %s"):format(path, tostring(e)), 0) end
  end
  return db
end

-- One connection for the life of the Lua state, kept across reloads of the
-- policy (closing one would open the files anew, see above).
local shared = {}
function M.shared(path)
  path = path or M.path()
  shared[path] = shared[path] or M.open(path)
  return shared[path]
end

function Db:quote(s)
  return "'" .. self.con:escape(s) .. "'"
end

-- Runs a statement; raises with the statement on failure. Rows are discarded.
function Db:exec(sql)
  local cur, err = self.con:execute(sql)
  if not cur then error(("sqlite: %s: %s"):format(tostring(err), sql:sub(1, 200)), 2) end
  if type(cur) ~= "number" then cur:close() end
end

-- The first row as a table by column name, or nil.
function Db:row(sql)
  local cur, err = self.con:execute(sql)
  if not cur then error(("sqlite: %s: %s"):format(tostring(err), sql:sub(1, 200)), 2) end
  local r = cur:fetch({}, "a")
  cur:close()
  return r
end

-- Every row, each a table by column name.
function Db:rows(sql)
  local cur, err = self.con:execute(sql)
  if not cur then error(("sqlite: %s: %s"):format(tostring(err), sql:sub(1, 200)), 2) end
  local out = {}
  while true do
    local r = cur:fetch({}, "a")
    if not r then break end
    out[#out + 1] = r
  end
  cur:close()
  return out
end

function Db:meta(key)
  local r = self:row("SELECT value FROM meta WHERE key = " .. self:quote(key))
  return r and r.value
end

function Db:set_meta(key, value)
  self:exec(("INSERT OR REPLACE INTO meta VALUES (%s, %s)"):format(self:quote(key), self:quote(value)))
end

-- fn() inside one write transaction; a raise rolls it back and goes on.
function Db:transaction(fn)
  self:exec("BEGIN IMMEDIATE")
  local ok, err = pcall(fn)
  if ok then self:exec("COMMIT") else pcall(self.exec, self, "ROLLBACK") error(err, 0) end
end

function Db:close()
  self.con:close()
  self.env:close()
end

return M
