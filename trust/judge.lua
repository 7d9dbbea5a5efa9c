-- Whether a file is trusted, and why: by its content (SHA-256, and the MD5
-- dpkg recorded for package files), from two sources only: the installed
-- packages and the administrator's list (trust/trust_list.lua). `source`
-- gives the facts: source.digests(path) -> sha256, md5, hashed now (or nil,
-- reason) and source.lookup(path) -> package, recorded md5. The agent's
-- source keeps digests and the dpkg index in its database (M.stored);
-- `acagent trust check` reads dpkg's files directly (M.direct).
local ac = require "ac"
local files = require "acagent.files"
local dpkg = require "trust.dpkg_index"
local json = require "trust.json_text"

local M = {}

local function hash(path)
  local err, md5, _, sha256 = ac.HashAll(path)
  if err or not sha256 then return nil, "cannot read: errno " .. tostring(err) end
  return json.hex(sha256), md5 and json.hex(md5)
end

local function regular(path)
  local identity, _, reg = files.identity(path)
  if not identity then return nil, "cannot stat: " .. tostring(reg) end
  if not reg then return nil, "not a regular file" end
  return identity
end

-- Digests kept in the database by the file's identity (device, inode, size,
-- mtime, ctime): a file is hashed when first judged and again only when its
-- identity changed.
function M.stored(db)
  local s = {}
  function s.digests(path)
    local identity, why = regular(path)
    if not identity then return nil, why end
    local r = db:row("SELECT identity, sha256, md5 FROM content WHERE path = " .. db:quote(path))
    if r and r.identity == identity then return r.sha256, r.md5, false end
    local sha256, md5 = hash(path)
    if not sha256 then return nil, md5 end
    -- Stored only when nothing changed while it was read.
    if files.identity(path) == identity then
      db:exec(("INSERT OR REPLACE INTO content VALUES (%s, %s, '%s', %s)")
              :format(db:quote(path), db:quote(identity), sha256, md5 and ("'" .. md5 .. "'") or "NULL"))
    end
    return sha256, md5, true
  end
  function s.lookup(path) return dpkg.lookup(db, path) end
  return s
end

function M.direct()
  return {
    digests = function(path)
      local ok, why = regular(path)
      if not ok then return nil, why end
      local sha256, md5 = hash(path)
      return sha256, md5, true
    end,
    lookup = dpkg.find,
  }
end

-- The verdict on the file at path (a real path), given the list's lookup
-- tables: a table with trusted (boolean), source ("package", "admin" or
-- "none"), reason (text), and when known package, sha256, hashed.
function M.judge(list, source, path)
  local sha256, md5, hashed = source.digests(path)
  if not sha256 then return {trusted = false, source = "none", reason = md5} end
  local v = {sha256 = sha256, hashed = hashed, source = "none", trusted = false}
  local pinned = list.files[path]
  if list.digests[sha256] then
    v.trusted, v.source, v.reason = true, "admin", "its digest is on the administrator's list"
  elseif pinned == sha256 then
    v.trusted, v.source, v.reason = true, "admin", "on the administrator's list with this content"
  else
    for _, dir in ipairs(list.dirs) do
      if path:sub(1, #dir) == dir then
        v.trusted, v.source, v.reason = true, "admin", "under " .. dir .. " on the administrator's list"
        return v
      end
    end
  end
  if v.trusted then return v end
  local package, recorded = source.lookup(path)
  v.package = package
  if package and recorded and recorded == md5 then
    v.trusted, v.source, v.reason = true, "package", "content verified against package " .. package
  elseif package and recorded then
    v.reason = "content differs from what package " .. package .. " installed"
  elseif package then
    v.reason = "package " .. package .. " lists it without a checksum"
  elseif pinned then
    v.reason = "content changed since it was added to the administrator's list"
  else
    v.reason = "not in any package nor on the administrator's list"
  end
  return v
end

return M
