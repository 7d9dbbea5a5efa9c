-- The driver-channel module as the policy code sees it right after require.
local t = require "testlib"
local lacdc = require "lacdc"

-- Every name of the list is a function of tbl, and tbl has no other function.
local function functions(tbl, names, what)
  local n = 0
  for _, v in pairs(tbl) do if type(v) == "function" then n = n + 1 end end
  t.eq(n, #names, what .. " function count")
  for _, name in ipairs(names) do t.eq(type(tbl[name]), "function", what .. name) end
end

t.run {
  {"all functions, handle methods and compiler functions are registered", function()
    functions(lacdc, {"open", "open_worker", "load", "unload", "profiler", "decode", "istimeout",
      "GetFileNameFromPidAndFd", "GetProcNameFromPid", "GetProcCwdFromPid", "GetRealPath",
      "CacheStats", "ClearCache", "AddToCache", "RemoveFromCache", "IsCached", "DriftClear",
      "DriftFreshFilter", "DriftClose", "DriftCondOpen", "DriftDup", "DriftDupTrackPossibleClose",
      "DriftOpen", "DriftStats", "EventAbstractionStats", "GetProcessInterpreterType",
      "IsTrustedPath", "IsPrelink", "IsExtensionInterpreted", "quickIMFilter", "AbstractEvent",
      "BindStats"}, "")
    functions(lacdc.compiler, {"clear", "sign", "guid", "default", "procedure", "link", "psieve", "ssieve",
      "newsieve", "constant", "suffixlist", "newcode", "newjump", "newreturn", "dump", "tostring"}, "compiler.")
    t.eq(t.count(lacdc.compiler), 16, "nothing else in compiler")
    local meta = debug.getregistry()["vava.handle"]
    t.eq(meta.__index, meta, "__index is the handle metatable")
    for _, name in ipairs {"__gc", "__tostring", "close", "get", "gettest", "isdone", "reply", "command", "program"} do
      t.eq(type(meta[name]), "function", "handle method " .. name)
    end
  end},

  {"constant groups map both ways", function()
    t.eq(rawequal(lacdc.event, lacdc.type), true, "event and type are one table")
    for i = 0, 49 do t.eq(type(lacdc.type[i]), "string", "type " .. i) end
    local cd = lacdc.CreationDisposition
    for i, c in ipairs {
      {lacdc.EVENT_OPEN_PRE, 24}, {lacdc.type[24], "open_pre"}, {lacdc.type.open_pre, 24}, {lacdc.type[0], "null"},
      {lacdc.type.proc_start, 1}, {lacdc.EVENT_MMAP_POST, 49}, {lacdc.type[50], nil},  -- TYPE_ cut; 49 the last
      {lacdc.reply[0], "timeout"}, {lacdc.reply.trackfile, 5}, {lacdc.REPLY_BLOCK, 3},
      {lacdc.action[0], "ignore"}, {lacdc.action.notify, 5}, {lacdc.ALLOW, 1},
      {lacdc.entity.regvalue, 3}, {lacdc.ENTITY_PROCESS, 4}, {lacdc.TRUNCATE_EXISTING, 5},
      -- Two names share 2 and 4: the later registration wins each way.
      {cd.always, 4}, {cd.existing, 5}, {cd.new, 1}, {cd[2], "always"}, {cd[4], "always"}, {cd[3], "existing"},
    } do
      t.eq(c[1], c[2], "row " .. i)
    end
  end},

  {"istimeout is true only for the timeout status", function()
    t.eq(lacdc.istimeout(-4), true, "-4")
    for _, c in ipairs {-3, -2, -1, 0, 11, 4} do t.eq(lacdc.istimeout(c), false, tostring(c)) end
    t.raises("number expected", lacdc.istimeout, "x")
    t.raises("number expected", lacdc.istimeout)
  end},

  {"a second open under the other name gives an equal, separate table", function()
    local vava = require "vava"
    t.eq(rawequal(vava, lacdc), false, "separate tables")
    t.eq(vava.EVENT_OPEN_PRE, lacdc.EVENT_OPEN_PRE, "same constants")
    t.eq(t.count(vava), t.count(lacdc), "same number of fields")
    t.eq(vava.open, lacdc.open, "same C functions")
  end},
}
