-- (4) The alternative a user would pick instead of the fast path: every event
-- is handed to a Lua policy function, which decides it from Lua tables.
--
-- decide(ev) takes the table get hands to Lua (the process and the file
-- resolved already) and returns a reply code, or 0 to leave the event
-- undecided. handle(h, ev) takes the raw record table of gettest, resolves
-- what it needs with the module's /proc functions as Lua code must, decides
-- with decide's rules and replies on the handle.
local lacdc = require "lacdc"
local M = {}

local ALLOW, BLOCK, IGNORE, TRACKFILE = lacdc.REPLY_ALLOW, lacdc.REPLY_BLOCK, lacdc.REPLY_IGNORE,
  lacdc.REPLY_TRACKFILE
local HANDOFF = 0
local T = lacdc.type
local EXECVE_PRE, MMAP_PRE, OPEN_PRE, OPEN_POST, CLOSE_PRE =
  T.execve_pre, T.mmap_pre, T.open_pre, T.open_post, T.close_pre
local CREATE_OR_TRUNCATE = 0x240
local band = bit32.band

-- Verdicts by resolved path: "approved", "unrecognized" or "block".
M.verdicts = {}
-- Interpreters by executable, each with the extensions it runs as scripts.
M.interpreters = {
  ["/usr/bin/bash"] = {sh = true, bash = true},
  ["/usr/bin/dash"] = {sh = true},
  ["/usr/bin/python3.11"] = {py = true, pyc = true},
  ["/usr/bin/perl"] = {pl = true},
}
-- Extensions of files that may be executable content once written.
local executable = {sh = true, bash = true, py = true, pl = true, so = true, jar = true, class = true}
-- Descriptors open for writing: tracked[pid][fd].
local tracked = {}

local function verdict(path, lockdown)
  local v = M.verdicts[path]
  if v == "approved" then return ALLOW end
  if v == "block" then return BLOCK end
  if v == "unrecognized" then return lockdown and BLOCK or ALLOW end
  return HANDOFF
end

local function track(pid, fd)
  local p = tracked[pid]
  if not p then
    p = {}
    tracked[pid] = p
  end
  p[fd] = true
end

-- True when the descriptor was tracked (it is released).
local function release(pid, fd)
  local p = tracked[pid]
  if not p or not p[fd] then return false end
  p[fd] = nil
  return true
end

function M.decide(ev)
  local t = ev.type
  if t == EXECVE_PRE or t == MMAP_PRE then return verdict(ev.realpath) end
  if t == OPEN_PRE then
    local runs = M.interpreters[ev.processName]
    if not runs or not runs[ev.fileExtension] then return IGNORE end
    return verdict(ev.realpath)
  end
  if t == OPEN_POST then
    if ev.rc < 0 or band(ev.flags, CREATE_OR_TRUNCATE) == 0 then return IGNORE end
    track(ev.pid, ev.dirfd)  -- an open's descriptor is reported as dirfd
    return TRACKFILE
  end
  if t == CLOSE_PRE then
    if release(ev.pid, ev.fd) and executable[ev.fileExtension] then return HANDOFF end
    return IGNORE
  end
  return IGNORE
end

local function extension(path)
  return path:match("%.([^./]*)$") or ""
end

function M.handle(h, ev)
  local t, pid = ev.type, ev.pid
  local reply = IGNORE
  if t == EXECVE_PRE then
    if lacdc.GetProcNameFromPid(pid) then
      reply = verdict((lacdc.GetRealPath(pid, ev.name, ev.dirfd)))
    end
  elseif t == MMAP_PRE then
    if lacdc.GetProcNameFromPid(pid) then
      reply = verdict((lacdc.GetFileNameFromPidAndFd(pid, ev.fd)))
    end
  elseif t == OPEN_PRE then
    local runs = M.interpreters[lacdc.GetProcNameFromPid(pid) or ""]
    if runs then
      local path = lacdc.GetRealPath(pid, ev.name, ev.dirfd)
      if runs[extension(path)] then reply = verdict(path) end
    end
  elseif t == OPEN_POST then
    if ev.rc >= 0 and band(ev.flags, CREATE_OR_TRUNCATE) ~= 0 and lacdc.GetProcNameFromPid(pid) then
      lacdc.GetRealPath(pid, ev.name, ev.dirfd)  -- the file, as the fast path resolves it
      track(pid, ev.dirfd)
      reply = TRACKFILE
    end
  elseif t == CLOSE_PRE then
    if release(pid, ev.fd) then
      local path = lacdc.GetFileNameFromPidAndFd(pid, ev.fd)
      if path and executable[extension(path)] then reply = HANDOFF end
    end
  end
  if reply ~= HANDOFF then h:reply(ev, reply) end
  return reply
end

return M
