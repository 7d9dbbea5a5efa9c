-- Schema-update handshake across threads: each worker has its own Lua state
-- and document object; marker files in a directory of this run (also the
-- document root, database <dir>/ac/ac.db) order the phases below.
local t = require "testlib"
local ac = require "ac"
local vyacore = require "vyacore"
assert(worker and workers >= 2, "run under acagent with at least two workers")

local ROUNDS_C, ROUNDS_D = 20, 10

-- A directory of this process only: process id and start time.
local pid, started = assert(io.open("/proc/self/stat")):read("*l"):match("^(%d+) %b() " .. ("%S+ "):rep(19) .. "(%d+)")
local dir = string.format("%s/mt_schema.%s.%s", os.getenv("TMPDIR") or "/tmp", pid, started)

local function path(name) return dir .. "/" .. name end
local function read(name)
  local f = io.open(path(name))
  return f and f:read("*a"), f and f:close()
end
local function exists(name) return read(name) ~= nil end
local function touch(name, text)
  local f = assert(io.open(path(name), "w"))
  f:write(text or "")
  f:close()
end
local function sleep(s) os.execute("sleep " .. s) end
local function await(name)
  local deadline = os.time() + 60
  while not exists(name) do
    if os.time() > deadline then error("timed out waiting for " .. name, 2) end
    sleep(0.01)
  end
end
local function await_all(prefix) for w = 1, workers do await(prefix .. w) end end
local function count(prefix)
  local n = 0
  for w = 1, workers do if exists(prefix .. w) then n = n + 1 end end
  return n
end
-- Worker 1 prepares each phase with fn after everyone finished the last one.
local function phase(name, last, fn)
  if worker == 1 then
    if last then await_all(last) end
    fn()
    touch(name)
  else
    await(name)
  end
end

local DB = "ac/ac.db"
phase("setup", nil, function()
  assert(os.execute("rm -rf '" .. dir .. "' && mkdir -m 0700 '" .. dir .. "' '" .. dir .. "/ac'"))
  touch(DB)
end)
local dom = vyacore.dom(dir)
t.eq(dom:GetPluginFile("ac", "ac.db"), path(DB), "database path")

local function body()
  -- Refusals first, in every worker at once: they must not use up the first
  -- grant (and the zip streams were once racy to make).
  local zip = vyacore.zip(path("w" .. worker .. ".zip"))
  for _, c in ipairs {{"nil"}, {"constant document", vyacore.const(dom)}, {"zip stream", zip}} do
    local ok, err = pcall(ac.ShouldUpdateSchema, c[2])
    err = tostring(err)
    t.eq(not ok and err:find("bad argument #1 ", 1, true) and err:find("(Dom object expected)", 1, true) ~= nil,
         true, "ShouldUpdateSchema with " .. c[1] .. ": " .. err)
  end
  zip:close()
  touch("ready." .. worker)

  -- A: the first call grants although the file exists.
  if worker == 1 then
    await_all("ready.")
    t.eq(ac.ShouldUpdateSchema(dom), true, "first call")
    -- The lock is recursive: a second call on this thread is refused and
    -- gives back only its own level.
    t.eq(ac.ShouldUpdateSchema(dom), false, "second call on the granted thread")
    touch("A.granted")
    for w = 2, workers do await("A.calling." .. w) end
    sleep(0.3)  -- let them block
    t.eq(count("A.returned."), 0, "calls returned while the grant is held")
    touch("A.released")
    t.eq(select("#", ac.UpdatedSchema()), 0, "UpdatedSchema results")
  else
    await("A.granted")
    touch("A.calling." .. worker)
    local r
    if worker == workers then
      ac.EnterCriticalSection()
      t.eq(exists("A.released"), true, "EnterCriticalSection waited for the grant")
      r = ac.ShouldUpdateSchema(dom)
      ac.LeaveCriticalSection()
    else
      r = ac.ShouldUpdateSchema(dom)
      t.eq(exists("A.released"), true, "ShouldUpdateSchema waited for the grant")
    end
    t.eq(r, false, "call after the first update")
    touch("A.returned." .. worker)
  end
  touch("A.done." .. worker)

  -- B: the file is missing; the granted thread creates it, so only one grant.
  phase("B.start", "A.done.", function() assert(os.remove(path(DB))) end)
  if ac.ShouldUpdateSchema(dom) then
    touch("B.grant." .. worker)
    sleep(0.05)
    touch(DB)
    ac.UpdatedSchema()
  end
  touch("B.done." .. worker)

  -- C: the file stays missing; every call grants, never two at once.
  phase("C.start", "B.done.", function()
    t.eq(count("B.grant."), 1, "grants while creating the file")
    assert(os.remove(path(DB)))
  end)
  for round = 1, ROUNDS_C do
    t.eq(ac.ShouldUpdateSchema(dom), true, "round " .. round .. " with the file missing")
    t.eq(read("holder"), nil, "nobody else holds the grant")
    touch("holder", tostring(worker))
    t.eq(ac.ShouldUpdateSchema(dom), false, "nested call in round " .. round)
    sleep(0.005)
    t.eq(read("holder"), tostring(worker), "holder at the end of round " .. round)
    assert(os.remove(path("holder")))
    ac.UpdatedSchema()
  end
  touch("C.done." .. worker)

  -- D: the file is there; nobody is granted. UpdatedSchema from a thread that
  -- holds nothing changes nothing.
  phase("D.start", "C.done.", function() touch(DB) end)
  t.eq(select("#", ac.UpdatedSchema()), 0, "stray UpdatedSchema results")
  for round = 1, ROUNDS_D do
    t.eq(ac.ShouldUpdateSchema(dom), false, "round " .. round .. " with the file present")
    ac.EnterCriticalSection()
    ac.LeaveCriticalSection()
  end
  touch("D.done." .. worker)
end

local ok, err = pcall(body)
if worker == 1 then
  if ok then await_all("D.done.") end
  os.execute("rm -rf '" .. dir .. "'")
end
if not ok then error(err, 0) end
