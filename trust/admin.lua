-- `acagent trust`: the administrator's list of the trust policy, kept in the
-- trust database, and why a file is or is not trusted.
local here = (arg and arg[0] or ""):match("^(.*/)") or "./"
package.path = here .. "../?.lua;" .. package.path
local ac = require "ac"
local files = require "acagent.files"
local database = require "trust.database"
local dpkg = require "trust.dpkg_index"
local judge = require "trust.judge"
local json = require "trust.json_text"

local HELP = [[
usage: acagent trust add PATH...            trust these files with their present content
       acagent trust add --digest SHA256... trust this content wherever it is
       acagent trust add --dir DIR...       trust everything under DIR, whatever its content
       acagent trust remove PATH... | --digest SHA256... | --dir DIR...
       acagent trust list                   the administrator's list
       acagent trust check PATH...          whether each file is trusted, and why
                                            (exit status 1 when one is not)

Besides this list, host mode's default policy trusts the files of installed
Debian packages whose content matches the checksum dpkg recorded.
The database is ACAGENT_TRUST_DB (default /var/lib/acagent/trust.db).
A running agent sees a change of the list within a second.]]

local function die(msg, code)
  io.stderr:write("acagent trust: ", msg, "\n")
  os.exit(code or 1)
end

local args = {...}
local command = table.remove(args, 1)
if command == nil or command == "--help" or command == "-h" then
  print(HELP)
  os.exit(command and 0 or 2)
end

-- The entries named on the command line: {kind, value, sha256}.
local function entries(list, need_file)
  local kind = "file"
  if list[1] == "--digest" or list[1] == "--dir" then kind = table.remove(list, 1):sub(3) end
  if #list == 0 then die("nothing named; see acagent trust --help", 2) end
  local out = {}
  for _, a in ipairs(list) do
    if kind == "digest" then
      if not a:match("^%x+$") or #a ~= 64 then die("not a SHA-256 digest: " .. a, 2) end
      out[#out + 1] = {kind, a:lower()}
    else
      local real, _, msg = files.realpath(a)
      if not real and not need_file then real = a end  -- a file gone since it was added
      if not real then die(msg) end
      if kind == "dir" then
        out[#out + 1] = {kind, real == "/" and "/" or real .. "/"}
      elseif need_file then
        local err, sha = ac.HashPrimary(real)
        if err or not sha then die(("cannot read %s: errno %s"):format(real, tostring(err))) end
        out[#out + 1] = {kind, real, json.hex(sha)}
      else
        out[#out + 1] = {kind, real}
      end
    end
  end
  return out
end

local db = database.open()

local function bump()
  db:set_meta("admin_version", tostring((tonumber(db:meta("admin_version")) or 0) + 1))
end

if command == "add" then
  local list = entries(args, true)
  db:transaction(function()
    for _, e in ipairs(list) do
      db:exec(("INSERT OR REPLACE INTO admin VALUES ('%s', %s, %s)")
              :format(e[1], db:quote(e[2]), e[3] and db:quote(e[3]) or "NULL"))
    end
    bump()
  end)
elseif command == "remove" then
  local list, missing = entries(args, false), {}
  db:transaction(function()
    for _, e in ipairs(list) do
      local where = ("kind = '%s' AND value = %s"):format(e[1], db:quote(e[2]))
      if db:row("SELECT 1 AS x FROM admin WHERE " .. where) then
        db:exec("DELETE FROM admin WHERE " .. where)
      else
        missing[#missing + 1] = e[2]
      end
    end
    bump()
  end)
  if #missing > 0 then die("not on the list: " .. table.concat(missing, ", ")) end
elseif command == "list" then
  for _, e in ipairs(db:rows("SELECT kind, value, sha256 FROM admin ORDER BY kind, value")) do
    print(e.kind .. "\t" .. e.value .. (e.sha256 and ("\t" .. e.sha256) or ""))
  end
elseif command == "check" then
  if #args == 0 then die("nothing named; see acagent trust --help", 2) end
  dpkg.refresh(db)
  local all = true
  for _, a in ipairs(args) do
    local real = files.realpath(a) or a
    local v = judge.judge(db, real)
    print(("%s: %s (%s)%s"):format(real, v.trusted and "trusted" or "not trusted", v.reason,
                                  v.sha256 and (" sha256 " .. v.sha256) or ""))
    all = all and v.trusted
  end
  db:close()
  os.exit(all and 0 or 1)
else
  die("unknown command '" .. tostring(command) .. "'; see acagent trust --help", 2)
end
db:close()
