-- The decision log: one JSON object a line per decision, appended to
-- ACAGENT_DECISION_LOG (default /var/log/acagent/decisions.jsonl; "-" for
-- standard error). When the file cannot be opened, lines go to standard
-- error. Each worker has its own handle; a line goes out in one write, so
-- lines of several workers never mix.
local files = require "acagent.files"
local json = require "trust.json_text"
local settings = require "trust.settings"

local M = {}
M.default_path = "/var/log/acagent/decisions.jsonl"

function M.open()
  local path = settings.get("ACAGENT_DECISION_LOG", M.default_path)
  local f
  if path ~= "-" then
    local dir = path:match("^(.*)/[^/]*$")
    if dir and dir ~= "" then files.mkdir(dir, 488) end  -- 0750
    f = io.open(path, "a")
    if f then f:setvbuf("full", 65536) end
  end
  local out = f or io.stderr
  return function(fields)
    local line = json.object(fields) .. "\n"
    out:write(line)
    out:flush()
  end
end

return M
