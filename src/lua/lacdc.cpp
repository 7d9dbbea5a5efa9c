// Opener of the driver-channel module (loaded as "lacdc" and as "vava"):
// module functions, handle methods, the compiler table and the constant groups.
#include <pthread.h>

#include <cctype>
#include <cstring>

#include "base/event_record.h"
#include "base/reply.h"
#include "compiler/program_image.h"
#include "lua/cache_lua.h"
#include "lua/channel_lua.h"
#include "lua/compiler_lua.h"
#include "lua/fast_path_stats_lua.h"
#include "lua/handle_lua.h"
#include "lua/json_lua.h"
#include "lua/openers.h"
#include "lua/result.h"
#include "lua/test_entry.h"

static const luaL_Reg fns[] = {
    {"open", l_open},
    {"open_worker", l_open_worker},
    {"load", l_load},
    {"unload", l_unload},
    {"profiler", l_profiler},
    {"decode", jsonL_decode},
    {"istimeout", l_istimeout},
    {"GetFileNameFromPidAndFd", l_GetFileNameFromPidAndFd},
    {"GetProcNameFromPid", l_GetProcNameFromPid},
    {"GetProcCwdFromPid", l_GetProcCwdFromPid},
    {"GetRealPath", l_GetRealPath},
    {"CacheStats", l_CacheStats},
    {"ClearCache", l_ClearCache},
    {"AddToCache", l_AddToCache},
    {"RemoveFromCache", l_RemoveFromCache},
    {"IsCached", l_IsCached},
    {"DriftClear", l_DriftClear},
    {"DriftFreshFilter", l_DriftFreshFilter},
    {"DriftClose", l_DriftClose},
    {"DriftCondOpen", l_DriftCondOpen},
    {"DriftDup", l_DriftDup},
    {"DriftDupTrackPossibleClose", l_DriftDupTrackPossibleClose},
    {"DriftOpen", l_DriftOpen},
    {"DriftStats", l_DriftStats},
    {"EventAbstractionStats", l_EventAbstractionStats},
    {"GetProcessInterpreterType", l_GetProcessInterpreterType},
    {"IsTrustedPath", l_IsTrustedPath},
    {"IsPrelink", l_IsPrelink},
    {"IsExtensionInterpreted", l_IsExtensionInterpreted},
    {"quickIMFilter", l_quickIMFilter},
    {"AbstractEvent", l_AbstractEvent},
    {"BindStats", l_BindStats},
    {nullptr, nullptr},
};

static const luaL_Reg handle_fns[] = {
    {"__gc", l_close},
    {"__tostring", l_tostring},
    {"close", l_close},
    {"get", l_get},
    {"gettest", l_gettest},
    {"isdone", l_isdone},
    {"reply", l_reply},
    {"command", l_command},
    {"program", l_program},
    {nullptr, nullptr},
};

static const luaL_Reg acc_fns[] = {
    {"clear", acc_clear},
    {"sign", acc_sign},
    {"guid", acc_guid},
    {"default", acc_default},
    {"procedure", acc_procedure},
    {"link", acc_link},
    {"psieve", acc_psieve},
    {"ssieve", acc_ssieve},
    {"newsieve", acc_newsieve},
    {"constant", acc_constant},
    {"suffixlist", acc_suffixlist},
    {"newcode", acc_newcode},
    {"newjump", acc_newjump},
    {"newreturn", acc_newreturn},
    {"dump", acc_dump},
    {"tostring", acc_tostring},
    {nullptr, nullptr},
};

struct literal {
    const char* name;
    int value;
};

static const literal reply_literals[] = {
    {"REPLY_TIMEOUT", REPLY_TIMEOUT}, {"REPLY_ERROR", REPLY_ERROR},   {"REPLY_ALLOW", REPLY_ALLOW},
    {"REPLY_BLOCK", REPLY_BLOCK},     {"REPLY_IGNORE", REPLY_IGNORE}, {"REPLY_TRACKFILE", REPLY_TRACKFILE},
};
static const literal action_literals[] = {
    {"IGNORE", ACC_ACTION_IGNORE}, {"ALLOW", ACC_ACTION_ALLOW},   {"DENY", ACC_ACTION_DENY},
    {"ERROR", ACC_ACTION_ERROR},   {"ADVICE", ACC_ACTION_ADVICE}, {"NOTIFY", ACC_ACTION_NOTIFY},
};
static const literal entity_literals[] = {
    {"ENTITY_FILE", 1}, {"ENTITY_REGKEY", 2}, {"ENTITY_REGVALUE", 3}, {"ENTITY_PROCESS", 4},
};
static const literal disposition_literals[] = {
    {"CREATE_NEW", 1}, {"CREATE_ALWAYS", 2}, {"OPEN_EXISTING", 3},
    {"OPEN_ALWAYS", 4}, {"TRUNCATE_EXISTING", 5},
};

// Process-wide: the mask table is filled once, by the first open. Worker states
// may open the module concurrently, so the first open is serialised.
static pthread_once_t first_open = PTHREAD_ONCE_INIT;

extern "C" {

// Stack: module table at -2, group table at -1.
void set_literal(lua_State* L, const char* name, int value)
{
    lua_pushinteger(L, value);
    lua_setfield(L, -3, name);

    const char* us = strchr(name, '_');
    const char* src = us ? us + 1 : name;
    char shortname[64];
    size_t n = 0;
    for (; src[n] && n < sizeof shortname - 1; n++)
        shortname[n] = (char)tolower((unsigned char)src[n]);
    shortname[n] = '\0';

    lua_pushinteger(L, value);
    lua_setfield(L, -2, shortname);
    lua_pushstring(L, shortname);
    lua_rawseti(L, -2, value);
}

}  // extern "C"

template <size_t N>
static void add_group(lua_State* L, const char* field, const literal (&lits)[N])
{
    lua_createtable(L, (int)N, (int)N);
    for (const literal& l : lits) set_literal(L, l.name, l.value);
    lua_setfield(L, -2, field);
}

static void add_event_group(lua_State* L)
{
    lua_createtable(L, AC_EVENT_TYPE_COUNT, AC_EVENT_TYPE_COUNT);
    for (int t = 0; t < AC_EVENT_TYPE_COUNT; t++) set_literal(L, ac_event_type_names[t].constant, t);
    lua_pushvalue(L, -1);
    lua_setfield(L, -3, "event");
    lua_setfield(L, -2, "type");
}

extern "C" int luaopen_lacdc(lua_State* L)
{
    if (luaL_newmetatable(L, LAC_HANDLE_META)) {
        lua_pushvalue(L, -1);
        lua_setfield(L, -2, "__index");
        luaL_setfuncs(L, handle_fns, 0);
    }
    lua_pop(L, 1);

    lua_createtable(L, 0, 32);
    luaL_setfuncs(L, fns, 0);

    lua_createtable(L, 0, 16);
    luaL_setfuncs(L, acc_fns, 0);
    lua_setfield(L, -2, "compiler");

    add_group(L, "reply", reply_literals);
    add_group(L, "action", action_literals);
    add_event_group(L);
    add_group(L, "entity", entity_literals);
    add_group(L, "CreationDisposition", disposition_literals);

    pthread_once(&first_open, lac_initialize);
    return 1;
}

