-- The paths the agent's environment may override (ACAGENT_*): the variable's
-- value when set and not empty, else the default.
local M = {}

function M.get(name, default)
  local v = os.getenv(name)
  return (v and v ~= "") and v or default
end

return M
