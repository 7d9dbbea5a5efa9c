-- The administrator's list: a text file (ACAGENT_TRUST_LIST, default
-- /etc/acagent/trust.list) that `acagent trust add|remove` edits and the
-- policy reads again whenever the file changes. One entry a line:
--   file SHA256 PATH   this file, while it has this content
--   digest SHA256      this content, wherever it is
--   dir PATH/          anything under this directory, whatever its content
-- Lines starting with # and blank lines are ignored. A path is the rest of
-- its line, so it may hold spaces but no newline.
local files = require "acagent.files"
local settings = require "trust.settings"

local M = {}
M.default_path = "/etc/acagent/trust.list"

function M.path() return settings.get("ACAGENT_TRUST_LIST", M.default_path) end

-- The entries of a list's text, in order: {kind, value, sha256}.
function M.parse(text)
  local out = {}
  for line in text:gmatch("[^\n]+") do
    local kind, rest = line:match("^(%a+) (.+)$")
    if kind == "file" then
      local sha, path = rest:match("^(%x+) (/.*)$")
      if sha and #sha == 64 then out[#out + 1] = {"file", path, sha:lower()} end
    elseif kind == "digest" and rest:match("^%x+$") and #rest == 64 then
      out[#out + 1] = {"digest", rest:lower()}
    elseif kind == "dir" and rest:sub(1, 1) == "/" then
      out[#out + 1] = {"dir", rest:sub(-1) == "/" and rest or rest .. "/"}
    end
  end
  return out
end

function M.format(entries)
  local lines = {"# acagent trust list: see acagent trust --help"}
  for _, e in ipairs(entries) do
    lines[#lines + 1] = e[1] == "file" and ("file %s %s"):format(e[3], e[2]) or (e[1] .. " " .. e[2])
  end
  return table.concat(lines, "\n") .. "\n"
end

-- The entries as lookup tables: digests[sha], files[path] = sha, dirs = {prefix...}.
function M.index(entries)
  local ix = {digests = {}, files = {}, dirs = {}}
  for _, e in ipairs(entries) do
    if e[1] == "digest" then ix.digests[e[2]] = true
    elseif e[1] == "file" then ix.files[e[2]] = e[3]
    else ix.dirs[#ix.dirs + 1] = e[2] end
  end
  return ix
end

-- The entries of the file at path (none when it does not exist).
function M.read(path)
  local f = io.open(path or M.path(), "rb")
  if not f then return {} end
  local text = f:read("*a")
  f:close()
  return M.parse(text)
end

-- Replaces the file in one step (a new file renamed over the old one).
function M.write(entries, path)
  path = path or M.path()
  local dir = path:match("^(.*)/[^/]*$")
  if dir and dir ~= "" then files.mkdir(dir) end
  local tmp = path .. ".new"
  local f = assert(io.open(tmp, "wb"))
  f:write(M.format(entries))
  assert(f:close())
  assert(os.rename(tmp, path))
end

-- A reader that gives the list's lookup tables, reading the file again only
-- when its identity changed; the second result says whether it did.
function M.watcher(path)
  path = path or M.path()
  local seen, ix = false, nil
  return function()
    local identity = files.identity(path) or "absent"
    if identity == seen then return ix, false end
    seen, ix = identity, M.index(M.read(path))
    return ix, true
  end
end

return M
