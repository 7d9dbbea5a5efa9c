-- Several Lua states in several threads open the modules at the same time.
local lacdc = require "lacdc"
local ac = require "ac"
assert(lacdc.EVENT_OPEN_PRE == 24)
assert(ac.ErrNotExec == 13)
assert(type(ac.dc) == "table")
for i = 1, 200 do
  ac.EnterCriticalSection()
  ac.LeaveCriticalSection()
  assert(lacdc.decode ~= nil)
end
