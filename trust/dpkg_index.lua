-- The dpkg index: which package lists a file and the MD5 dpkg recorded for
-- it, from /var/lib/dpkg/info/PACKAGE.list and PACKAGE.md5sums, and for
-- conffiles from the Conffiles fields of /var/lib/dpkg/status. Nothing is
-- hashed here: a file's content is checked against its MD5 when it is first
-- used (trust/judge.lua). The index lives in the trust database and is
-- brought up to date package by package whenever dpkg's database changed
-- (its info directory or status file has a new identity): an install,
-- upgrade or removal is seen without a restart.
local files = require "acagent.files"
local settings = require "trust.settings"

local M = {}

-- dpkg's database: M.root when set, else ACAGENT_DPKG_DIR, else /var/lib/dpkg.
function M.dir()
  return M.root or settings.get("ACAGENT_DPKG_DIR", "/var/lib/dpkg")
end

-- Pairs {path, md5} of a .md5sums text ("MD5  relative/path" lines).
function M.parse_md5sums(text)
  local out = {}
  for md5, path in text:gmatch("(%x+) +([^\n]+)") do
    if #md5 == 32 then out[#out + 1] = {"/" .. path:gsub("^/", ""), md5:lower()} end
  end
  return out
end

-- The conffiles of a status text with the MD5 dpkg recorded, by path;
-- obsolete ones and those without a checksum yet are left out.
function M.parse_conffiles(text)
  local out, inside = {}, false
  for line in text:gmatch("[^\n]+") do
    if line:sub(1, 1) ~= " " then
      inside = line == "Conffiles:"
    elseif inside then
      local path, md5, flag = line:match("^ (/.-) (" .. ("%x"):rep(32) .. ")(.*)$")
      if path and not flag:find("obsolete", 1, true) then out[path] = md5:lower() end
    end
  end
  return out
end

-- The absolute paths of a .list text (one a line; "/." is the root itself).
function M.parse_list(text)
  local out = {}
  for path in text:gmatch("[^\n]+") do
    if path:sub(1, 1) == "/" and path ~= "/." then out[#out + 1] = path end
  end
  return out
end

-- Top-level directories that are links into /usr (merged /usr): dpkg may
-- list /bin/true while the kernel names /usr/bin/true.
local function aliases()
  local map = {}
  for _, d in ipairs {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"} do
    local real = files.realpath(d)
    if real and real ~= d then map[d .. "/"] = real .. "/" end
  end
  return map
end

local function canonical(path, alias)
  local top = path:match("^/[^/]+/")
  local to = top and alias[top]
  return to and to .. path:sub(#top + 1) or path
end

local function slurp(path)
  local f = io.open(path, "rb")
  if not f then return nil end
  local s = f:read("*a")
  f:close()
  return s
end

-- The identity of dpkg's database as a whole.
function M.stamp()
  local dir = M.dir()
  return tostring(files.identity(dir .. "/info")) .. "|" .. tostring(files.identity(dir .. "/status"))
end

local BATCH = 400

local function insert(db, verb, rows)
  for i = 1, #rows, BATCH do
    db:exec(verb .. " INTO pkgfile VALUES " .. table.concat(rows, ",", i, math.min(i + BATCH - 1, #rows)))
  end
end

-- (Re)indexes one package from its files.
local function index_package(db, info, pkg, id, alias)
  local q = tostring(id)
  local sums = M.parse_md5sums(slurp(info .. pkg .. ".md5sums") or "")
  local listed = M.parse_list(slurp(info .. pkg .. ".list") or "")
  local rows = {}
  for i, e in ipairs(sums) do rows[i] = ("(%s,%s,'%s')"):format(db:quote(canonical(e[1], alias)), q, e[2]) end
  -- A file another package also ships keeps the checksum of the last one indexed.
  insert(db, "INSERT OR REPLACE", rows)
  rows = {}
  for i, p in ipairs(listed) do rows[i] = ("(%s,%s,NULL)"):format(db:quote(canonical(p, alias)), q) end
  insert(db, "INSERT OR IGNORE", rows)
end

-- Brings the index up to date when dpkg's database changed since the last
-- look; returns the number of packages (re)indexed. Cheap when nothing changed.
function M.refresh(db)
  local stamp = M.stamp()
  if db:meta("dpkg_stamp") == stamp then return 0 end
  local count = 0
  db:transaction(function()
    if db:meta("dpkg_stamp") == stamp then return end  -- another worker did it
    local info = M.dir() .. "/info/"
    local names = assert(files.list(info))
    local current = {}
    for _, name in ipairs(names) do
      local pkg, ext = name:match("^(.+)%.(%w+)$")
      if ext == "list" or ext == "md5sums" then
        current[pkg] = tostring(files.identity(info .. pkg .. ".md5sums")) .. "|" .. tostring(files.identity(info .. pkg .. ".list"))
      end
    end
    local known, ids = {}, {}
    for _, r in ipairs(db:rows("SELECT id, package, identity FROM pkgsource")) do
      known[r.package], ids[r.package] = r.identity, r.id
    end
    local alias = aliases()
    -- Inserts in random order: a page cache that holds the whole index
    -- while it is built, given back afterwards.
    db:exec("PRAGMA cache_size = -65536")
    for pkg, identity in pairs(current) do
      if known[pkg] ~= identity then
        if ids[pkg] then
          db:exec("DELETE FROM pkgfile WHERE pkg = " .. ids[pkg])
          db:exec(("UPDATE pkgsource SET identity = %s WHERE id = %s"):format(db:quote(identity), ids[pkg]))
        else
          db:exec(("INSERT INTO pkgsource(package, identity) VALUES (%s, %s)"):format(db:quote(pkg), db:quote(identity)))
          ids[pkg] = db:row("SELECT last_insert_rowid() AS id").id
        end
        index_package(db, info, pkg, ids[pkg], alias)
        count = count + 1
      end
    end
    for pkg in pairs(known) do
      if not current[pkg] then
        db:exec("DELETE FROM pkgfile WHERE pkg = " .. ids[pkg])
        db:exec("DELETE FROM pkgsource WHERE id = " .. ids[pkg])
        count = count + 1
      end
    end
    -- Conffiles: .list names them, the status file holds their checksums.
    for path, md5 in pairs(M.parse_conffiles("\n" .. (slurp(M.dir() .. "/status") or "") .. "\n")) do
      db:exec(("UPDATE pkgfile SET md5 = '%s' WHERE path = %s"):format(md5, db:quote(canonical(path, alias))))
    end
    db:set_meta("dpkg_stamp", stamp)
  end)
  db:exec("PRAGMA cache_size = -2000")
  db:exec("PRAGMA shrink_memory")
  return count
end

-- As lookup, without the index: reads dpkg's files (for `acagent trust
-- check`, which must not share the agent's database).
function M.find(path)
  local names = {path}
  for top, real in pairs(aliases()) do
    if path:sub(1, #real) == real then names[#names + 1] = top .. path:sub(#real + 1) end
  end
  local info = M.dir() .. "/info/"
  local all = assert(files.list(info))
  table.sort(all)
  local conffiles
  for _, ext in ipairs {"md5sums", "list"} do
    for _, name in ipairs(all) do
      local pkg = name:match("^(.+)%." .. ext .. "$")
      local text = pkg and "\n" .. (slurp(info .. name) or "") .. "\n"
      for _, n in ipairs(pkg and names or {}) do
        if ext == "list" then
          if text:find("\n" .. n .. "\n", 1, true) then
            conffiles = conffiles or M.parse_conffiles("\n" .. (slurp(M.dir() .. "/status") or "") .. "\n")
            return pkg, conffiles[n]
          end
        else
          local at = text:find("  " .. n:sub(2) .. "\n", 1, true)
          if at and at > 33 and text:sub(at - 33, at - 33) == "\n" then return pkg, text:sub(at - 32, at - 1):lower() end
        end
      end
    end
  end
end

-- The package that lists path and the MD5 it recorded (nil when none), or nil.
function M.lookup(db, path)
  local r = db:row("SELECT package, md5 FROM pkgfile JOIN pkgsource ON pkg = id WHERE path = " .. db:quote(path))
  if r then return r.package, r.md5 end
end

return M
