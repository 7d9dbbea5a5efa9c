-- Schema-update handshake across threads (run under acagent; the globals
-- `worker` and `workers` name this worker and the count). Every worker has its
-- own Lua state and document object; they coordinate through marker files in
-- a directory of this run, which is also the document root, so the database
-- file is <dir>/ac/ac.db.
--
--   refusals  every worker: bad arguments raise and change nothing
--   A  file present, first call of the process: worker 1 is granted; the
--      others (one through EnterCriticalSection) wait until it is done, then
--      are refused
--   B  file absent, the granted thread creates it: exactly one grant
--   C  file absent, nobody creates it: every call is granted, one at a time
--   D  file present: every call is refused, also after a stray UpdatedSchema
local ac = require "ac"
local vyacore = require "vyacore"
assert(worker and workers, "run under acagent")
assert(workers >= 2, "needs at least two workers")

local ROUNDS_C, ROUNDS_D = 20, 10

local function fail(fmt, ...) error(string.format("worker %d: " .. fmt, worker, ...), 2) end
local function eq(got, want, what)
  if got ~= want then fail("%s: got %s, want %s", what, tostring(got), tostring(want)) end
end

-- A directory name shared by the workers of this process only: process id
-- and start time.
local function run_dir()
  local f = assert(io.open("/proc/self/stat"))
  local stat = f:read("*l")
  f:close()
  local pid, rest = stat:match("^(%d+) %b() (.*)$")
  local fields = {}
  for x in rest:gmatch("%S+") do fields[#fields + 1] = x end
  return string.format("%s/mt_schema.%s.%s", os.getenv("TMPDIR") or "/tmp", pid, fields[20])
end

local dir = run_dir()
local function path(name) return dir .. "/" .. name end
local function exists(name)
  local f = io.open(path(name))
  if f then f:close() end
  return f ~= nil
end
local function touch(name, text)
  local f = assert(io.open(path(name), "w"))
  f:write(text or "")
  f:close()
end
local function read(name)
  local f = io.open(path(name))
  if not f then return nil end
  local s = f:read("*a")
  f:close()
  return s
end
local function sleep(s) os.execute("sleep " .. s) end
local function await(name)
  local deadline = os.time() + 60
  while not exists(name) do
    if os.time() > deadline then fail("timed out waiting for %s", name) end
    sleep(0.01)
  end
end
local function await_all(prefix)
  for w = 1, workers do await(prefix .. w) end
end
local function count(prefix)
  local n = 0
  for w = 1, workers do if exists(prefix .. w) then n = n + 1 end end
  return n
end

local DB = "ac/ac.db"
if worker == 1 then
  assert(os.execute("rm -rf '" .. dir .. "' && mkdir -m 0700 '" .. dir .. "' '" .. dir .. "/ac'"))
  touch(DB)
  touch("setup")
else
  await("setup")
end

local dom = vyacore.dom(dir)
eq(dom:GetPluginFile("ac", "ac.db"), path(DB), "database path")

local function body()
  -- Refusals come first in every worker: they must not use up the first grant.
  local zip = vyacore.zip(path("w" .. worker .. ".zip"))
  for _, c in ipairs {{"nil"}, {"constant document", vyacore.const(dom)}, {"zip stream", zip}} do
    local ok, err = pcall(ac.ShouldUpdateSchema, c[2])
    eq(ok, false, "ShouldUpdateSchema with " .. c[1] .. " raises")
    err = tostring(err)
    if not (err:find("bad argument #1 ", 1, true) and err:find("(Dom object expected)", 1, true)) then
      fail("error for %s: %s", c[1], err)
    end
  end
  zip:close()
  touch("ready." .. worker)

  -- A: the first call grants although the file exists.
  if worker == 1 then
    await_all("ready.")
    eq(ac.ShouldUpdateSchema(dom), true, "first call")
    -- The lock is recursive: a second call on this thread is refused and
    -- gives back only its own level.
    eq(ac.ShouldUpdateSchema(dom), false, "second call on the granted thread")
    touch("A.granted")
    for w = 2, workers do await("A.calling." .. w) end
    sleep(0.3)  -- let them block
    eq(count("A.returned."), 0, "calls returned while the grant is held")
    touch("A.released")
    eq(select("#", ac.UpdatedSchema()), 0, "UpdatedSchema results")
  else
    await("A.granted")
    touch("A.calling." .. worker)
    if worker == workers then
      ac.EnterCriticalSection()
      if not exists("A.released") then fail("EnterCriticalSection did not wait for the grant") end
      eq(ac.ShouldUpdateSchema(dom), false, "call inside the critical section")
      ac.LeaveCriticalSection()
    else
      local r = ac.ShouldUpdateSchema(dom)
      if not exists("A.released") then fail("ShouldUpdateSchema did not wait for the grant") end
      eq(r, false, "call after the first update")
    end
    touch("A.returned." .. worker)
  end
  touch("A.done." .. worker)

  -- B: the file is missing; the granted thread creates it, so only one grant.
  if worker == 1 then
    await_all("A.done.")
    assert(os.remove(path(DB)))
    touch("B.start")
  else
    await("B.start")
  end
  if ac.ShouldUpdateSchema(dom) then
    touch("B.grant." .. worker)
    sleep(0.05)
    touch(DB)
    ac.UpdatedSchema()
  end
  touch("B.done." .. worker)

  -- C: the file stays missing; every call grants, never two at once.
  if worker == 1 then
    await_all("B.done.")
    eq(count("B.grant."), 1, "grants while creating the file")
    assert(os.remove(path(DB)))
    touch("C.start")
  else
    await("C.start")
  end
  for round = 1, ROUNDS_C do
    eq(ac.ShouldUpdateSchema(dom), true, "round " .. round .. " with the file missing")
    local holder = read("holder")
    if holder then fail("granted while worker %s holds the grant", holder) end
    touch("holder", tostring(worker))
    eq(ac.ShouldUpdateSchema(dom), false, "nested call in round " .. round)
    sleep(0.005)
    eq(read("holder"), tostring(worker), "holder at the end of round " .. round)
    assert(os.remove(path("holder")))
    ac.UpdatedSchema()
  end
  touch("C.done." .. worker)

  -- D: the file is there; nobody is granted. UpdatedSchema from a thread that
  -- holds nothing changes nothing.
  if worker == 1 then
    await_all("C.done.")
    touch(DB)
    touch("D.start")
  else
    await("D.start")
  end
  eq(select("#", ac.UpdatedSchema()), 0, "stray UpdatedSchema results")
  for round = 1, ROUNDS_D do
    eq(ac.ShouldUpdateSchema(dom), false, "round " .. round .. " with the file present")
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
