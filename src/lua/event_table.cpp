#include "lua/event_table.h"

#include <cstring>

#include "channel/retrieval.h"

namespace {

constexpr uint32_t NAME_LIMIT = AC_NAME_FIELD;

void set_unsigned(lua_State* L, const char* key, uint32_t v)
{
    lua_pushunsigned(L, v);
    lua_setfield(L, -2, key);
}

void set_integer(lua_State* L, const char* key, lua_Integer v)
{
    lua_pushinteger(L, v);
    lua_setfield(L, -2, key);
}

void set_number(lua_State* L, const char* key, lua_Number v)
{
    lua_pushnumber(L, v);
    lua_setfield(L, -2, key);
}

void set_string(lua_State* L, const char* key, const char* v)
{
    lua_pushstring(L, v);
    lua_setfield(L, -2, key);
}

void set_boolean(lua_State* L, const char* key, bool v)
{
    lua_pushboolean(L, v);
    lua_setfield(L, -2, key);
}

// Fields shared by both tables after the common five.
void set_ids(lua_State* L, const ac_event_record* rec)
{
    set_unsigned(L, "tid", rec->tid);
    set_unsigned(L, "execUid", rec->execUid);
    set_unsigned(L, "execGid", rec->execUid);
}

void set_masked(lua_State* L, const ac_event_record* rec, uint64_t mask)
{
    if (mask & ATTR_ID_RC) {
        set_unsigned(L, "previd", rec->id & ~1u);
        set_number(L, "rc", (lua_Number)rec->rc);
    }
    if (mask & ATTR_FD) set_integer(L, "fd", rec->fd);
    if (mask & ATTR_DIRFD) set_integer(L, "dirfd", rec->fd);
    if (mask & ATTR_OLDFD) set_integer(L, "oldfd", rec->oldfd);
    if (mask & ATTR_OLDDIRFD) set_integer(L, "olddirfd", rec->oldfd);
    if (mask & ATTR_FLAGS) set_unsigned(L, "flags", rec->flags);
    if (mask & ATTR_MODE) set_unsigned(L, "mode", rec->mode);
}

}  // namespace

extern "C" {

void l_getcommon(lua_State* L, const ac_event_record* rec)
{
    set_unsigned(L, "id", rec->id);
    set_unsigned(L, "pid", rec->pid);
    set_unsigned(L, "ppid", rec->ppid);
    set_unsigned(L, "type", rec->type);
    set_unsigned(L, "missed", rec->missed);
}

void lac_push_name(lua_State* L, uint32_t length, const char* bytes, const char* key, uint32_t limit)
{
    if (length == NAME_FAULT) {
        set_string(L, "error", "Fault");
        return;
    }
    if (length > limit) luaL_error(L, "%s length too large %d", key, (int)length);
    lua_pushlstring(L, bytes, length);
    lua_setfield(L, -2, key);
}

}  // extern "C"

const char* lac_push_record_table(lua_State* L, const ac_event_record* rec, size_t* bad_len)
{
    const bool typed = ac_type_in_range(rec->type);
    const uint64_t mask = typed ? generated_event_attribute_mask[rec->type] : 0;
    uint32_t len;
    if (const char* key = lac_overlong_name(rec, &len)) return *bad_len = len, key;

    lua_createtable(L, 0, 16);
    l_getcommon(L, rec);
    set_ids(L, rec);
    if (!typed) return nullptr;
    set_masked(L, rec, mask);
    if (mask & ATTR_NAME) lac_push_name(L, rec->name_len, rec->name, "name", NAME_LIMIT);
    if (mask & ATTR_OLDNAME) lac_push_name(L, rec->oldname_len, rec->oldname, "oldname", NAME_LIMIT);
    return nullptr;
}

const char* lac_push_event_table(lua_State* L, const ac_event_record* rec, const ac_decision_ctx* ctx,
                                 size_t* bad_len)
{
    const ac_event_info* ev = ctx->event;
    size_t name_len = strlen(ev->name), oldname_len = strlen(ev->oldname);
    if (name_len > NAME_LIMIT) return *bad_len = name_len, "name";
    if (oldname_len > NAME_LIMIT) return *bad_len = oldname_len, "oldname";

    lua_createtable(L, 0, 32);
    l_getcommon(L, rec);
    set_ids(L, rec);
    set_masked(L, rec, generated_event_attribute_mask[rec->type]);
    if (name_len) lac_push_name(L, (uint32_t)name_len, ev->name, "name", NAME_LIMIT);
    if (oldname_len) lac_push_name(L, (uint32_t)oldname_len, ev->oldname, "oldname", NAME_LIMIT);
    if (ctx->size) set_number(L, "size", (lua_Number)ctx->size);
    if (ctx->bind_action) set_unsigned(L, "bind_action", ctx->bind_action);
    if (ctx->cache_type >= 0) set_integer(L, "cache_type", ctx->cache_type);
    if (ctx->isdrift <= 1) set_boolean(L, "isdrift", ctx->isdrift);
    if (ctx->isexec <= 1) set_boolean(L, "isexec", ctx->isexec);
    if (ctx->processTypeIndex) set_number(L, "processTypeIndex", (lua_Number)ctx->processTypeIndex);
    set_string(L, "processName", ctx->processName);
    set_string(L, "realpath", ctx->realpath);
    set_string(L, "path", ctx->path);
    set_string(L, "fileName", ctx->fileName);
    set_string(L, "fileExtension", ctx->fileExtension);
    set_string(L, "ruleset", ctx->ruleset);
    if (ev->action_type > 0)
        set_integer(L, "action_type", ev->action_type);
    else if (ev->action_type_str)
        set_string(L, "action_type", ev->action_type_str);
    if (ev->operationType) set_string(L, "operationType", ev->operationType);
    if (ev->newExtension[0]) set_string(L, "newExtension", ev->newExtension);
    if (ev->previousMode) set_number(L, "previousMode", (lua_Number)ev->previousMode);
    return nullptr;
}
