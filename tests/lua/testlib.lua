-- Small helpers shared by the Lua tests.
local M = {}

function M.eq(got, want, what)
  if got ~= want then
    error(string.format("%s: got %s, want %s", what or "value", tostring(got), tostring(want)), 2)
  end
end

function M.raises(pattern, fn, ...)
  local ok, err = pcall(fn, ...)
  if ok then error("expected an error matching " .. pattern, 2) end
  if not tostring(err):find(pattern, 1, true) then
    error(string.format("error %q does not contain %q", tostring(err), pattern), 2)
  end
end

function M.count(t)
  local n = 0
  for _ in pairs(t) do n = n + 1 end
  return n
end

function M.pack(...) return {n = select("#", ...), ...} end

-- Runs named cases; reports each and fails at the end if any failed.
function M.run(cases)
  local failed = 0
  for _, c in ipairs(cases) do
    local ok, err = xpcall(c[2], debug.traceback)
    print((ok and "ok   " or "FAIL ") .. c[1])
    if not ok then print(err); failed = failed + 1 end
  end
  if failed > 0 then error(failed .. " case(s) failed", 0) end
end

M.build = os.getenv("ACBUILD") or "build"
M.source = os.getenv("ACSOURCE") or "."

return M
