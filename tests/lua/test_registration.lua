-- The driver-channel module as the policy code sees it right after require.
local t = require "testlib"
local lacdc = require "lacdc"

t.run {
  {"all functions, handle methods and compiler functions are registered", function()
    local fns = {"open", "open_worker", "load", "unload", "profiler", "decode", "istimeout",
      "GetFileNameFromPidAndFd", "GetProcNameFromPid", "GetProcCwdFromPid", "GetRealPath",
      "CacheStats", "ClearCache", "AddToCache", "RemoveFromCache", "IsCached", "DriftClear",
      "DriftFreshFilter", "DriftClose", "DriftCondOpen", "DriftDup", "DriftDupTrackPossibleClose",
      "DriftOpen", "DriftStats", "EventAbstractionStats", "GetProcessInterpreterType",
      "IsTrustedPath", "IsPrelink", "IsExtensionInterpreted", "quickIMFilter", "AbstractEvent",
      "BindStats"}
    t.eq(#fns, 32, "function count")
    local nfuncs = 0
    for _, v in pairs(lacdc) do if type(v) == "function" then nfuncs = nfuncs + 1 end end
    t.eq(nfuncs, 32, "functions in module table")
    for _, name in ipairs(fns) do t.eq(type(lacdc[name]), "function", name) end

    local acc = {"clear", "sign", "guid", "default", "procedure", "link", "psieve", "ssieve",
      "newsieve", "constant", "suffixlist", "newcode", "newjump", "newreturn", "dump", "tostring"}
    t.eq(t.count(lacdc.compiler), 16, "compiler function count")
    for _, name in ipairs(acc) do t.eq(type(lacdc.compiler[name]), "function", "compiler." .. name) end

    local meta = debug.getregistry()["vava.handle"]
    t.eq(type(meta), "table", "handle metatable")
    t.eq(meta.__index, meta, "__index is the metatable")
    for _, name in ipairs {"__gc", "__tostring", "close", "get", "gettest", "isdone", "reply",
                           "command", "program"} do
      t.eq(type(meta[name]), "function", "handle method " .. name)
    end
  end},

  {"event type group maps both ways and is one table under two names", function()
    t.eq(lacdc.EVENT_OPEN_PRE, 24, "EVENT_OPEN_PRE")
    t.eq(lacdc.type[24], "open_pre", "type[24]")
    t.eq(lacdc.type.open_pre, 24, "type.open_pre")
    t.eq(rawequal(lacdc.event, lacdc.type), true, "event and type are one table")
    t.eq(lacdc.type[0], "null", "type[0]")
    t.eq(lacdc.type.proc_start, 1, "TYPE_ prefix is cut")
    t.eq(lacdc.EVENT_MMAP_POST, 49, "last type")
    t.eq(lacdc.type[50], nil, "no type 50")
    for i = 0, 49 do t.eq(type(lacdc.type[i]), "string", "type " .. i) end
  end},

  {"reply, action, entity and disposition groups", function()
    t.eq(lacdc.reply[0], "timeout", "reply[0]")
    t.eq(lacdc.reply.trackfile, 5, "reply.trackfile")
    t.eq(lacdc.REPLY_BLOCK, 3, "REPLY_BLOCK")
    t.eq(lacdc.action[0], "ignore", "action[0]")
    t.eq(lacdc.action.notify, 5, "action.notify")
    t.eq(lacdc.ALLOW, 1, "ALLOW")
    t.eq(lacdc.entity.regvalue, 3, "entity.regvalue")
    t.eq(lacdc.ENTITY_PROCESS, 4, "ENTITY_PROCESS")
    local cd = lacdc.CreationDisposition
    t.eq(cd.always, 4, "always is the later registration")
    t.eq(cd.existing, 5, "existing is the later registration")
    t.eq(cd.new, 1, "new")
    t.eq(cd[2], "always", "2 maps back to always")
    t.eq(cd[4], "always", "4 maps back to always")
    t.eq(cd[3], "existing", "3 maps back to existing")
    t.eq(lacdc.TRUNCATE_EXISTING, 5, "TRUNCATE_EXISTING")
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
