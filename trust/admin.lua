-- `acagent trust`: the administrator's list of the trust policy
-- (trust/trust_list.lua), and why a file is or is not trusted.
local here = (arg and arg[0] or ""):match("^(.*/)") or "./"
package.path = here .. "../?.lua;" .. package.path
local ac = require "ac"
local files = require "acagent.files"
local judge = require "trust.judge"
local json = require "trust.json_text"
local trust_list = require "trust.trust_list"

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
The list is the file ACAGENT_TRUST_LIST (default /etc/acagent/trust.list);
a running agent reads it again at its next decision.]]

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
local function named(list, adding)
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
      if not real and not adding then real = a end  -- a file gone since it was added
      if not real then die(msg) end
      if real:find("\n", 1, true) then die("a name with a newline cannot go on the list: " .. ("%q"):format(real)) end
      if kind == "dir" then
        out[#out + 1] = {kind, real == "/" and "/" or real:gsub("/$", "") .. "/"}
      elseif adding then
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

local function same(a, b) return a[1] == b[1] and a[2] == b[2] end

if command == "add" or command == "remove" then
  local entries, changes = trust_list.read(), named(args, command == "add")
  local kept, missing = {}, {}
  for _, e in ipairs(entries) do
    local hit = false
    for _, c in ipairs(changes) do hit = hit or same(e, c) end
    if not hit then kept[#kept + 1] = e end
  end
  if command == "add" then
    for _, c in ipairs(changes) do kept[#kept + 1] = c end
  else
    for _, c in ipairs(changes) do
      local found = false
      for _, e in ipairs(entries) do found = found or same(e, c) end
      if not found then missing[#missing + 1] = c[2] end
    end
  end
  trust_list.write(kept)
  if #missing > 0 then die("not on the list: " .. table.concat(missing, ", ")) end
elseif command == "list" then
  for _, e in ipairs(trust_list.read()) do
    print(e[1] .. "\t" .. e[2] .. (e[3] and ("\t" .. e[3]) or ""))
  end
elseif command == "check" then
  if #args == 0 then die("nothing named; see acagent trust --help", 2) end
  local list, source, all = trust_list.index(trust_list.read()), judge.direct(), true
  for _, a in ipairs(args) do
    local real = files.realpath(a) or a
    local v = judge.judge(list, source, real)
    print(("%s: %s (%s)%s"):format(real, v.trusted and "trusted" or "not trusted", v.reason,
                                  v.sha256 and (" sha256 " .. v.sha256) or ""))
    all = all and v.trusted
  end
  os.exit(all and 0 or 1)
else
  die("unknown command '" .. tostring(command) .. "'; see acagent trust --help", 2)
end
