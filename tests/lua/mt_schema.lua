-- Schema-update handshake across threads: each worker has its own Lua state and
-- document object; marker files in a directory of this run (also the document
-- root, database <dir>/ac/ac.db) order the phases below.
local t, ac, vyacore = require "testlib", require "ac", require "vyacore"
assert(worker and workers >= 2, "run under acagent with at least two workers")
-- A directory of this process only: process id and start time.
local pid, started = assert(io.open("/proc/self/stat")):read("*l"):match("^(%d+) %b() " .. ("%S+ "):rep(19) .. "(%d+)")
local dir = ("%s/mt_schema.%s.%s"):format(os.getenv("TMPDIR") or "/tmp", pid, started)
local DB = dir .. "/ac/ac.db"
local function exists(name) local f = io.open(dir .. "/" .. name) return f and f:close() end
local function touch(name) t.writefile(dir .. "/" .. name, "") end
local function await(name, all)  -- name, or name .. w for every worker w
  local deadline = os.time() + 60
  for w = 1, all and workers or 1 do
    while not exists(name .. (all and w or "")) do
      if os.time() > deadline then error("timed out waiting for " .. name, 2) end
      os.execute("sleep 0.01")
    end
  end
end
-- Worker 1 prepares each phase with fn after everyone finished the last one.
local function phase(name, last, fn)
  if worker ~= 1 then return await(name) end
  if last then await(last, true) end
  fn()
  touch(name)
end
local function body()
  phase("setup", nil, function() assert(os.execute("mkdir -m 0700 '" .. dir .. "' '" .. dir .. "/ac'")) touch("ac/ac.db") end)
  local dom = vyacore.dom(dir)
  -- Refusals, in every worker at once: they must not use up the first grant.
  t.raise_all {{"Dom object expected)", ac.ShouldUpdateSchema}, {"Dom object expected)", ac.ShouldUpdateSchema, vyacore.const(dom)}}
  touch("ready." .. worker)
  -- A: the first call grants although the file exists; the others wait for its end.
  if worker == 1 then
    await("ready.", true)
    t.eq(ac.ShouldUpdateSchema(dom), true, "first call")
    t.eq(ac.ShouldUpdateSchema(dom), false, "second call on the granted thread (the lock is recursive)")
    touch("A.granted")
    for w = 2, workers do await("A.calling." .. w) end
    os.execute("sleep 0.3")  -- let them block
    for w = 2, workers do t.eq(exists("A.returned." .. w), nil, "returned while the grant is held") end
    touch("A.released")
    t.eq(select("#", ac.UpdatedSchema()), 0, "UpdatedSchema results")
  else
    await("A.granted")
    touch("A.calling." .. worker)
    t.eq(tostring(ac.ShouldUpdateSchema(dom)) .. " " .. tostring(exists("A.released")), "false true", "waited; no grant")
    touch("A.returned." .. worker)
  end
  touch("A.done." .. worker)
  -- C: the file is missing: each call grants. D: it is there: none does, a stray UpdatedSchema changes nothing.
  phase("C.start", "A.done.", function() assert(os.remove(DB)) end)
  for round = 1, 20 do t.eq(ac.ShouldUpdateSchema(dom), true, "round " .. round); ac.UpdatedSchema() end
  touch("C.done." .. worker)
  phase("D.start", "C.done.", function() touch("ac/ac.db") end)
  ac.UpdatedSchema()
  for round = 1, 10 do t.eq(ac.ShouldUpdateSchema(dom), false, "round " .. round .. " with the file present") end
  touch("D.done." .. worker)
end
local ok, err = pcall(body)
if worker == 1 then
  if ok then await("D.done.", true) end
  os.execute("rm -rf '" .. dir .. "'")
end
if not ok then error(err, 0) end
