-- Every name policy code can meet is in docs/reference.md: functions of the modules, the handle and the compiler,
-- constants, counters and event-table fields, all taken from what the engine registers and returns.
local t, d, ac = require "testlib", require "drvlib", require "ac"
local lacdc, sim, T = d.lacdc, d.sim, d.T
local doc = assert(io.open(t.source .. "/docs/reference.md")):read("*a")
local found, missing = {}, {}
local function documented(k)  -- `name`, or a call `name(...)`, `h:name(...)`, `ac.name`
  for _, f in ipairs {"`%s`", "`%s(", "`h:%s(", "`ac.%s"} do if doc:find(f:format(k), 1, true) then return true end end
end
local function collect(tbl)
  for k in pairs(tbl) do if type(k) == "string" and k ~= "__index" then found[k] = true end end
  return tbl
end
t.run {
  {"every registered name, counter and event field is in the reference", function()
    for _, m in ipairs {ac, lacdc, debug.getregistry()["vava.handle"]} do collect(m) end
    for _, v in pairs(lacdc) do if type(v) == "table" then collect(v) end end
    for _, f in ipairs {lacdc.CacheStats, lacdc.DriftStats, lacdc.EventAbstractionStats, lacdc.BindStats,
                        ac.ProcCacheStats, ac.FilterSetStats} do collect(f()) end
    local h = d.ready()
    for ty = 1, 49 do sim.push {type = ty, id = 2 * ty + 1, pid = 1, name = "n", oldname = "o"} end
    sim.push {type = T.open_pre, id = 101, pid = 1, name = "n", name_len = 0xFFFFFFF2}
    for _ = 1, 50 do collect(assert(h:gettest(50))) end
    local dir = d.workdir()
    local pid = tonumber(io.popen("sh -c 'echo $$; exec sleep 5' 2>/dev/null &"):read("*l"))
    d.wait_until(function() return (lacdc.GetProcNameFromPid(pid) or ""):find("sleep") end, "the child")
    lacdc.ClearCache()
    sim.push {type = T.execve_pre, id = 201, pid = pid, fd = -100, name = "/usr/bin/true"}
    h:reply(collect(d.ev(h)), lacdc.REPLY_ALLOW)  -- a miss: size, cache_type, action_type
    lacdc.AddToCache("/usr/bin/true", 2)
    sim.push {type = T.execve_pre, id = 203, pid = pid, fd = -100, name = "/usr/bin/true"}
    collect(d.ev(h))                              -- unrecognized: allowed by the fast path, bind_action
    d.write(dir .. "/a.sh")
    sim.push {type = T.rename_post, id = 205, pid = pid, fd = -100, oldfd = -100, name = dir .. "/a.sh", oldname = dir .. "/b"}
    collect(d.ev(h, {basedir = dir}))             -- operationType, newExtension, oldname
    os.execute("kill " .. pid .. "; rm -rf " .. dir)
    for k in pairs(found) do if not documented(k) then missing[#missing + 1] = k end end
    t.eq(table.concat(missing, " "), "", "names missing from docs/reference.md")
  end},
}
