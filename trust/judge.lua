-- Whether a file is trusted, and why: by its content (SHA-256, and the MD5
-- dpkg recorded for package files), from two sources only: the installed
-- packages and the administrator's list. A file is hashed when first judged
-- and again only when its identity (device, inode, size, mtime, ctime)
-- changed; the digests are kept in the trust database across restarts.
local ac = require "ac"
local files = require "acagent.files"
local dpkg = require "trust.dpkg_index"
local json = require "trust.json_text"

local M = {}

-- The digests of path's content now: sha256, md5 (hex), whether they were
-- computed now; or nil, reason.
function M.digests(db, path)
  local identity, _, regular = files.identity(path)
  if not identity then return nil, "cannot stat: " .. tostring(regular) end
  if not regular then return nil, "not a regular file" end
  local r = db:row("SELECT identity, sha256, md5 FROM content WHERE path = " .. db:quote(path))
  if r and r.identity == identity then return r.sha256, r.md5, false end
  local err, md5, _, sha256 = ac.HashAll(path)
  if err or not sha256 then return nil, "cannot read: errno " .. tostring(err) end
  sha256, md5 = json.hex(sha256), md5 and json.hex(md5)
  -- Stored only when nothing changed while it was read.
  if files.identity(path) == identity then
    db:exec(("INSERT OR REPLACE INTO content VALUES (%s, %s, '%s', %s)")
            :format(db:quote(path), db:quote(identity), sha256, md5 and ("'" .. md5 .. "'") or "NULL"))
  end
  return sha256, md5, true
end

-- The verdict on the file at path (a real path): a table with trusted
-- (boolean), source ("package", "admin" or "none"), reason (text), and when
-- known package, sha256, hashed (whether it was hashed now).
function M.judge(db, path)
  local sha256, md5, hashed = M.digests(db, path)
  if not sha256 then return {trusted = false, source = "none", reason = md5} end
  local v = {sha256 = sha256, hashed = hashed, source = "none"}
  local admin = db:rows(("SELECT kind, value, sha256 FROM admin WHERE (kind = 'digest' AND value = '%s') " ..
                         "OR (kind = 'file' AND value = %s) OR (kind = 'dir' AND substr(%s, 1, length(value)) = value)")
                        :format(sha256, db:quote(path), db:quote(path)))
  local changed_admin
  for _, e in ipairs(admin) do
    if e.kind == "digest" then
      v.trusted, v.source, v.reason = true, "admin", "its digest is on the administrator's list"
    elseif e.kind == "dir" then
      v.trusted, v.source, v.reason = true, "admin", "under " .. e.value .. " on the administrator's list"
    elseif e.sha256 == sha256 then
      v.trusted, v.source, v.reason = true, "admin", "on the administrator's list with this content"
    else
      changed_admin = true
    end
    if v.trusted then return v end
  end
  local package, recorded = dpkg.lookup(db, path)
  v.package = package
  if package and recorded and recorded == md5 then
    v.trusted, v.source, v.reason = true, "package", "content verified against package " .. package
  elseif package and recorded then
    v.trusted, v.reason = false, "content differs from what package " .. package .. " installed"
  elseif package then
    v.trusted, v.reason = false, "package " .. package .. " lists it without a checksum"
  elseif changed_admin then
    v.trusted, v.reason = false, "content changed since it was added to the administrator's list"
  else
    v.trusted, v.reason = false, "not in any package nor on the administrator's list"
  end
  return v
end

return M
