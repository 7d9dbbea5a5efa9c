-- The five event kinds the benchmarks time, as records for the simulated
-- driver, and the replies each must get.
local M = {}

-- p: tool, data (paths in the work directory), caller, shell (live pids).
function M.new(sim, lacdc, p)
  local T = lacdc.type
  local O_WRONLY_CREAT_TRUNC = 0x241
  local kinds = {
    exec_approved_hit = {{type = T.execve_pre, pid = p.caller, fd = -100, name = p.tool}},
    close_untracked = {{type = T.close_pre, pid = p.caller, fd = 77}},
    open_post_close_pre_tracked = {
      {type = T.open_post, pid = p.caller, fd = 6, rc = 6, flags = O_WRONLY_CREAT_TRUNC, name = p.data},
      {type = T.close_pre, pid = p.caller, fd = 6}},
    script_open_approved = {{type = T.open_pre, pid = p.shell, fd = -100, name = "run.sh"}},
    mmap_approved = {{type = T.mmap_pre, pid = p.caller, fd = 5, mode = 5}},
  }
  local expected = {
    exec_approved_hit = {lacdc.REPLY_ALLOW},
    close_untracked = {lacdc.REPLY_IGNORE},
    open_post_close_pre_tracked = {lacdc.REPLY_TRACKFILE, lacdc.REPLY_IGNORE},
    script_open_approved = {lacdc.REPLY_ALLOW},
    mmap_approved = {lacdc.REPLY_ALLOW},
  }
  local id = 0
  local k = {}
  -- Queues n events of a kind (a pair counts as two), each with a fresh id.
  function k.feed(kind, n)
    local recs = kinds[kind]
    for i = 0, n - 1 do
      local r = recs[i % #recs + 1]
      id = id + 1
      r.id = id
      sim.push(r)
    end
  end
  -- The replies the driver got since the last look, against n events of a
  -- kind: an error text, or nil when each is the expected one.
  function k.check(kind, n)
    local r = sim.replies()
    if #r ~= n then return #r .. " replies for " .. n .. " events" end
    local want = expected[kind]
    for i, reply in ipairs(r) do
      if reply.reply ~= want[(i - 1) % #want + 1] then return "event " .. i .. ": reply " .. reply.reply end
    end
    return nil
  end
  return k
end

return M
