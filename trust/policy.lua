-- The default policy of `acagent host`: a program, a script run by an
-- interpreter or a mapped library runs when its content is trusted: a file
-- of an installed package whose content still matches the checksum dpkg
-- recorded, or a file on the administrator's list (`acagent trust`,
-- trust/trust_list.lua).
-- Everything else is denied (in permissive mode the driver lets it run and
-- logs it). Approvals of package files go to the engine's object cache, so
-- the next run never reaches Lua; new content of a file makes the engine
-- hand a change event, which forgets its verdict. Files the administrator
-- trusts are judged at every run (their identity is checked, their content
-- hashed again after a change): they often live where users write, and the
-- engine does not report every route of a write (see docs/security.md).
-- Every decision made here is logged (trust/decision_log.lua).
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
package.path = here .. "../?.lua;" .. package.path
local lacdc = require "lacdc"
local database = require "trust.database"
local dpkg = require "trust.dpkg_index"
local judge = require "trust.judge"
local trust_list = require "trust.trust_list"
local decision_log = require "trust.decision_log"

local APPROVED = 1  -- object cache type
local T = lacdc.type

local db = database.shared()
dpkg.refresh(db)
local source = judge.stored(db)
local list_now = trust_list.watcher()
local list = list_now()
local log = decision_log.open()
-- A reload (SIGHUP) starts from an empty object cache: the engine may have
-- missed a change meanwhile.
lacdc.ClearCache()

local policy = {}

-- The administrator's list is looked at again whenever an event reaches the
-- policy, dpkg's database at most once a second.
local checked = os.time()
local function refresh()
  list = list_now()
  local now = os.time()
  if now ~= checked then
    checked = now
    dpkg.refresh(db)
  end
end

policy.idle = refresh

local function kind(ev)
  if ev.type == T.execve_pre then return "exec" end
  if ev.action_type == "SCRIPT_EXECUTION" then return "script" end
  if ev.type == T.mmap_pre then return "mmap" end
  return "open"
end

local function record(ev, decision, what, v)
  log {{"time", os.time()}, {"decision", decision}, {"event", what}, {"path", ev.realpath},
       {"pid", ev.pid}, {"uid", ev.execUid}, {"process", ev.processName}, {"source", v.source},
       {"package", v.package}, {"sha256", v.sha256}, {"hashed", v.hashed}, {"reason", v.reason}}
end

function policy.decide(ev, opts)
  if ev.type == T.execve_pre or ev.type == T.open_pre or ev.type == T.mmap_pre then
    local what = kind(ev)
    if ev.bind_action then
      -- Answered by the fast path from the object cache.
      if ev.bind_action == lacdc.REPLY_BLOCK then
        record(ev, "deny", what, {source = "cache", reason = "blocked by the object cache"})
      end
      return nil, "answered by the fast path"
    end
    refresh()
    local v = judge.judge(list, source, ev.realpath)
    if v.trusted then
      if v.source == "package" then lacdc.AddToCache(ev.realpath, APPROVED) end
      record(ev, "allow", what, v)
      return lacdc.REPLY_ALLOW, v.reason
    end
    -- Not cached: a file the administrator trusts later runs at once.
    record(ev, "deny", what, v)
    return lacdc.REPLY_BLOCK, v.reason
  end
  if ev.action_type == lacdc.TYPE_CREATE then
    -- New content: the verdict goes; the stored digests no longer match the
    -- file's identity, so the next run hashes it again.
    lacdc.RemoveFromCache(ev.realpath)
    record(ev, "forget", "change", {source = "none", reason = "new content (" .. (ev.operationType or "close") .. ")"})
    return ev.bind_action == nil and lacdc.REPLY_ALLOW or nil, "verdict forgotten"
  end
  return ev.bind_action == nil and lacdc.REPLY_ALLOW or nil, "no decision needed"
end

return policy
