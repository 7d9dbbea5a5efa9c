// Lua module vavasim: drives the simulated driver from test scripts.
// Lua errors unwind with longjmp, so every function raises only once its
// C++ objects are gone; results are pushed under lua_pcall (push_protected).
//
// For script writers:
// - Handle numbers count every successful open since the last reset, from 1;
//   closing a handle does not renumber the others. push and pushraw without a
//   number go to the newest open handle; pushing to a hung-up handle raises.
// - respond(fn) runs fn in the calling script's Lua state, from whichever
//   thread issues the command, one call at a time. Install it from a state that
//   outlives the commands and that is blocked outside Lua (for instance in the
//   command itself) while other threads issue them. Closing that state brings
//   back the built-in answers.
// - A command's resp_len is the whole response length, also when the caller's
//   buffer took only part of it.
// - reset() forgets open handles without closing the caller's descriptors:
//   they read end-of-file from then on and close as plain descriptors. It also
//   stops the live mode, allowing every event it still holds.
// - live{mount = DIR, timeout_ms = N, handle = n} starts the live mode (live.h)
//   and raises when it refuses; live(false) stops it and returns how many held
//   events it allowed; live() returns its status and counters. With
//   host = true it watches the mounts listed in mounts or, without them, every
//   mount of the types in fstypes (host mode, fanotify_source.h).
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <lua.hpp>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/event_record.h"
#include "driver/fanotify_source.h"
#include "driver/machine.h"
#include "driver/responder.h"

namespace {

// Runs fn(L, data) under lua_pcall; the caller raises the returned error
// (left on the stack) once its own objects are destroyed.
template <typename T>
int push_protected(lua_State* L, int (*fn)(lua_State*), T* data)
{
    lua_pushcfunction(L, fn);
    lua_pushlightuserdata(L, data);
    return lua_pcall(L, 1, 1, 0);
}

unsigned opt_handle(lua_State* L, int idx)
{
    lua_Number n = luaL_optnumber(L, idx, 0);
    if (!(n >= 1 && n <= 1e6) && !lua_isnoneornil(L, idx)) luaL_argerror(L, idx, "handle number from 1");
    return static_cast<unsigned>(n);
}

// Wraps to the field's width the way a C assignment would: -1 is 0xFFFFFFFF.
int64_t num_field(lua_State* L, int t, const char* key)
{
    lua_getfield(L, t, key);
    int64_t v = 0;
    if (!lua_isnil(L, -1)) {
        if (!lua_isnumber(L, -1)) luaL_error(L, "field '%s' must be a number", key);
        lua_Number n = lua_tonumber(L, -1);
        if (std::isnan(n)) n = 0;
        n = n < -9.2e18 ? -9.2e18 : n > 1.8e19 ? 1.8e19 : n;
        v = n >= 9.2e18 ? static_cast<int64_t>(static_cast<uint64_t>(n)) : static_cast<int64_t>(n);
    }
    lua_pop(L, 1);
    return v;
}

void name_field(lua_State* L, int t, const char* key, const char* len_key, char* field, uint32_t* len)
{
    lua_getfield(L, t, key);
    size_t n = 0;
    if (!lua_isnil(L, -1)) {
        if (!lua_isstring(L, -1)) luaL_error(L, "field '%s' must be a string", key);
        const char* s = lua_tolstring(L, -1, &n);
        n = n > AC_NAME_FIELD ? AC_NAME_FIELD : n;
        memcpy(field, s, n);
    }
    lua_pop(L, 1);
    lua_getfield(L, t, len_key);
    bool given = !lua_isnil(L, -1);
    lua_pop(L, 1);
    *len = given ? static_cast<uint32_t>(num_field(L, t, len_key)) : static_cast<uint32_t>(n);
}

int raise_errno(lua_State* L, int err, unsigned handle)
{
    switch (err) {
    case 0:
        return 0;
    case ENOENT:
        return handle ? luaL_error(L, "vavasim: no open handle %d", static_cast<int>(handle))
                      : luaL_error(L, "vavasim: no open handle");
    case EPIPE:
        return luaL_error(L, "vavasim: handle is hung up");
    case EMSGSIZE:
        return luaL_error(L, "vavasim: record larger than %d bytes", static_cast<int>(drv::kMaxRecord));
    default:
        return luaL_error(L, "vavasim: %s", strerror(err));
    }
}

void exit_channel_drain();

int l_reset(lua_State* L)
{
    drv::reset();
    drv::clear_lua_responder(L);
    exit_channel_drain();
    return 0;
}

int opt_bool(lua_State* L, int t, const char* key)
{
    lua_getfield(L, t, key);
    int v = lua_isnil(L, -1) ? -1 : lua_toboolean(L, -1);
    lua_pop(L, 1);
    return v;
}

int l_setup(lua_State* L)
{
    luaL_checktype(L, 1, LUA_TTABLE);
    drv::Setup s;
    s.hook = opt_bool(L, 1, "hook");
    s.driver = opt_bool(L, 1, "driver");
    s.node = opt_bool(L, 1, "node");
    lua_getfield(L, 1, "major");
    if (!lua_isnil(L, -1)) {
        lua_Number m = lua_tonumber(L, -1);
        if (!(m >= 1 && m <= 4095)) luaL_error(L, "vavasim: major must be 1..4095");
        s.major = static_cast<long>(m);
    }
    lua_pop(L, 1);
    drv::setup(s);
    return 0;
}

void set_bool(lua_State* L, const char* key, bool v)
{
    lua_pushboolean(L, v);
    lua_setfield(L, -2, key);
}

void set_number(lua_State* L, const char* key, lua_Number v)
{
    lua_pushnumber(L, v);
    lua_setfield(L, -2, key);
}

int l_status(lua_State* L)
{
    drv::Status st = drv::status();
    lua_createtable(L, 0, 6);
    set_bool(L, "hook", st.hook);
    set_bool(L, "driver", st.driver);
    set_bool(L, "node", st.node);
    set_number(L, "major", st.major);
    set_number(L, "rdev", static_cast<lua_Number>(st.rdev));
    set_number(L, "handles", st.handles);
    return 1;
}

int l_push(lua_State* L)
{
    luaL_checktype(L, 1, LUA_TTABLE);
    unsigned handle = opt_handle(L, 2);
    ac_event_record rec;
    memset(&rec, 0, sizeof rec);
    rec.type = static_cast<uint32_t>(num_field(L, 1, "type"));
    rec.id = static_cast<uint32_t>(num_field(L, 1, "id"));
    rec.missed = static_cast<uint32_t>(num_field(L, 1, "missed"));
    rec.pid = static_cast<uint32_t>(num_field(L, 1, "pid"));
    rec.ppid = static_cast<uint32_t>(num_field(L, 1, "ppid"));
    rec.tid = static_cast<uint32_t>(num_field(L, 1, "tid"));
    rec.rc = num_field(L, 1, "rc");
    rec.fd = static_cast<int32_t>(num_field(L, 1, "fd"));
    rec.oldfd = static_cast<int32_t>(num_field(L, 1, "oldfd"));
    rec.mode = static_cast<uint32_t>(num_field(L, 1, "mode"));
    rec.flags = static_cast<uint32_t>(num_field(L, 1, "flags"));
    rec.execUid = static_cast<uint32_t>(num_field(L, 1, "execUid"));
    name_field(L, 1, "name", "name_len", rec.name, &rec.name_len);
    name_field(L, 1, "oldname", "oldname_len", rec.oldname, &rec.oldname_len);
    return raise_errno(L, drv::push(handle, &rec, sizeof rec), handle);
}

int l_pushraw(lua_State* L)
{
    size_t n;
    const char* bytes = luaL_checklstring(L, 1, &n);
    unsigned handle = opt_handle(L, 2);
    return raise_errno(L, drv::push(handle, bytes, n), handle);
}

int push_replies(lua_State* L)
{
    auto* v = static_cast<std::vector<drv::Reply>*>(lua_touserdata(L, 1));
    lua_createtable(L, static_cast<int>(v->size()), 0);
    int i = 0;
    for (const drv::Reply& r : *v) {
        lua_createtable(L, 0, 4);
        set_number(L, "reply", r.reply);
        set_number(L, "id", r.id);
        set_number(L, "eta", r.eta);
        set_number(L, "error", static_cast<lua_Number>(r.error));
        lua_rawseti(L, -2, ++i);
    }
    return 1;
}

int l_replies(lua_State* L)
{
    int rc;
    {
        std::vector<drv::Reply> v = drv::take_replies();
        rc = push_protected(L, push_replies, &v);
    }
    return rc == LUA_OK ? 1 : lua_error(L);
}

int push_commands(lua_State* L)
{
    auto* v = static_cast<std::vector<std::string>*>(lua_touserdata(L, 1));
    lua_createtable(L, static_cast<int>(v->size()), 0);
    int i = 0;
    for (const std::string& c : *v) {
        lua_pushlstring(L, c.data(), c.size());
        lua_rawseti(L, -2, ++i);
    }
    return 1;
}

int l_commands(lua_State* L)
{
    int rc;
    {
        std::vector<std::string> v = drv::take_commands();
        rc = push_protected(L, push_commands, &v);
    }
    return rc == LUA_OK ? 1 : lua_error(L);
}

int l_respond(lua_State* L)
{
    if (!lua_isnoneornil(L, 1)) luaL_checktype(L, 1, LUA_TFUNCTION);
    drv::set_lua_responder(L, 1);
    return 0;
}

int l_hangup(lua_State* L)
{
    unsigned handle = opt_handle(L, 1);
    return raise_errno(L, drv::hangup(handle), handle);
}

int l_null(lua_State* L)
{
    lua_pushlightuserdata(L, nullptr);
    return 1;
}

// One shutdown channel for the process: the read end of a pipe, in an
// integer that lives as long as the process.
int g_exit_fd = -1;
int g_exit_write = -1;
std::mutex g_exit_mu;

int exit_channel_open()
{
    std::lock_guard<std::mutex> lock(g_exit_mu);
    if (g_exit_fd >= 0) return 0;
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return errno;
    g_exit_fd = p[0];
    g_exit_write = p[1];
    return 0;
}

void exit_channel_drain()
{
    std::lock_guard<std::mutex> lock(g_exit_mu);
    if (g_exit_fd < 0) return;
    char buf[64];
    while (read(g_exit_fd, buf, sizeof buf) > 0) {
    }
}

int l_exitchannel(lua_State* L)
{
    if (int err = exit_channel_open()) return raise_errno(L, err, 0);
    lua_pushlightuserdata(L, &g_exit_fd);
    return 1;
}

int l_shutdown(lua_State* L)
{
    if (int err = exit_channel_open()) return raise_errno(L, err, 0);
    char c = 1;
    if (write(g_exit_write, &c, 1) < 0 && errno != EAGAIN) return raise_errno(L, errno, 0);
    return 0;
}

int l_lastcommand(lua_State* L)
{
    drv::LastCommand c = drv::last_command();
    if (!c.valid) {
        lua_pushnil(L);
        return 1;
    }
    lua_createtable(L, 0, 2);
    set_number(L, "cmd_len", c.cmd_len);
    set_number(L, "resp_size", c.resp_size);
    return 1;
}

int l_fail(lua_State* L)
{
    const char* name = luaL_checkstring(L, 1);
    drv::Op op;
    if (!drv::op_from_name(name, &op)) return luaL_argerror(L, 1, lua_pushfstring(L, "unknown operation '%s'", name));
    lua_Number err = luaL_checknumber(L, 2);
    lua_Number count = luaL_optnumber(L, 3, 1);
    lua_Number skip = luaL_optnumber(L, 4, 0);
    if (!(err >= 0 && err < 4096)) return luaL_argerror(L, 2, "errno 0..4095");
    if (!(count >= 0 && count < 4e9)) return luaL_argerror(L, 3, "count out of range");
    if (!(skip >= 0 && skip < 4e9)) return luaL_argerror(L, 4, "skip out of range");
    drv::set_failure(op, static_cast<int>(err), static_cast<unsigned>(count), static_cast<unsigned>(skip));
    return 0;
}

int push_live_status(lua_State* L)
{
    const auto* st = static_cast<const drv::fan::Status*>(lua_touserdata(L, 1));
    const drv::fan::Counters& c = st->counters;
    lua_createtable(L, 0, 32);
    set_bool(L, "on", st->on);
    lua_pushlstring(L, st->mount.data(), st->mount.size());
    lua_setfield(L, -2, "mount");
    lua_createtable(L, static_cast<int>(st->mounts.size()), 0);
    for (size_t i = 0; i < st->mounts.size(); i++) {
        lua_pushlstring(L, st->mounts[i].data(), st->mounts[i].size());
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    lua_setfield(L, -2, "mounts");
    set_number(L, "timeout_ms", st->timeout_ms);
    set_number(L, "handle", st->handle);
    set_bool(L, "rename_event", st->rename_event);
    set_number(L, "held", static_cast<lua_Number>(st->held));
    set_number(L, "sessions", static_cast<lua_Number>(st->sessions));
    set_bool(L, "enforcing", st->enforcing);
    set_bool(L, "deadline_deny", st->deadline_deny);
    const struct {
        const char* key;
        uint64_t value;
    } counters[] = {
        {"perm_events", c.perm_events}, {"notify_events", c.notify_events}, {"records", c.records},
        {"exec_pre", c.exec_pre},       {"open_pre", c.open_pre},           {"open_post", c.open_post},
        {"close_pre", c.close_pre},     {"chmod_post", c.chmod_post},       {"rename_post", c.rename_post},
        {"unlink_post", c.unlink_post}, {"allowed", c.allowed},             {"denied", c.denied},
        {"replied", c.replied},         {"timeouts", c.timeouts},           {"own", c.own},
        {"followups", c.followups},     {"unqueued", c.unqueued},           {"stopped", c.stopped},
        {"overflows", c.overflows},     {"unknown_flags", c.unknown_flags},
        {"held_us", c.held_us},         {"reader_us", c.reader_us},
        {"deadline_denied", c.deadline_denied}, {"would_deny", c.would_deny}, {"exempt", c.exempt},
        {"unnamed", c.unnamed},         {"unresolved", c.unresolved},       {"mount_changes", c.mount_changes},
    };
    for (const auto& k : counters) set_number(L, k.key, static_cast<lua_Number>(k.value));
    return 1;
}

// A boolean field of the options table; absent: dflt.
bool bool_field(lua_State* L, const char* key, bool dflt)
{
    lua_getfield(L, 1, key);
    bool v = lua_isnil(L, -1) ? dflt : lua_toboolean(L, -1) != 0;
    lua_pop(L, 1);
    return v;
}

// live{mount = DIR, timeout_ms = N, handle = n, deadline_deny = b, enforcing = b,
//      exempt = "path", host = b, mounts = {DIR...}, fstypes = "a,b"} | live(false) | live()
int l_live(lua_State* L)
{
    if (lua_isnoneornil(L, 1)) {
        int rc;
        {
            drv::fan::Status st = drv::fan::status();
            rc = push_protected(L, push_live_status, &st);
        }
        return rc == LUA_OK ? 1 : lua_error(L);
    }
    if (lua_isboolean(L, 1)) {
        if (lua_toboolean(L, 1)) return luaL_argerror(L, 1, "false to stop, a table to start");
        lua_pushnumber(L, drv::fan::stop());
        return 1;
    }
    luaL_checktype(L, 1, LUA_TTABLE);
    const bool host = bool_field(L, "host", false);
    lua_getfield(L, 1, "mounts");  // host mode: kept on the stack and read below where nothing raises
    const int mounts_at = lua_gettop(L), nmounts = lua_istable(L, -1) ? static_cast<int>(lua_rawlen(L, -1)) : 0;
    for (int i = 1; i <= nmounts; i++, lua_pop(L, 1))
        if (lua_rawgeti(L, mounts_at, i), lua_type(L, -1) != LUA_TSTRING)
            return luaL_error(L, "vavasim: live: field 'mounts' must be a list of strings");
    char fstypes[256];
    lua_getfield(L, 1, "fstypes");
    snprintf(fstypes, sizeof fstypes, "%s", lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "");
    lua_pop(L, 1);
    char mount[PATH_MAX];
    lua_getfield(L, 1, "mount");
    size_t len = 0;
    const char* m = lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &len) : host ? "" : nullptr;
    if (!m) return luaL_error(L, "vavasim: live: field 'mount' must be a string");
    if (len >= sizeof mount || strlen(m) != len) return luaL_error(L, "vavasim: live: bad mount path");
    memcpy(mount, m, len + 1);
    lua_pop(L, 1);
    lua_getfield(L, 1, "timeout_ms");
    bool has_timeout = !lua_isnil(L, -1);
    lua_pop(L, 1);
    int64_t timeout = has_timeout ? num_field(L, 1, "timeout_ms") : drv::fan::kDefaultTimeoutMs;
    unsigned handle = 0;
    lua_getfield(L, 1, "handle");
    if (!lua_isnil(L, -1)) {
        lua_Number n = lua_tonumber(L, -1);
        if (!(n >= 1 && n <= 1e6)) return luaL_error(L, "vavasim: live: handle number from 1");
        handle = static_cast<unsigned>(n);
    }
    lua_pop(L, 1);
    const bool deadline_deny = bool_field(L, "deadline_deny", false), enforcing = bool_field(L, "enforcing", true);
    char exempt[PATH_MAX] = "";
    lua_getfield(L, 1, "exempt");
    if (lua_type(L, -1) == LUA_TSTRING && lua_rawlen(L, -1) < sizeof exempt) snprintf(exempt, sizeof exempt, "%s", lua_tostring(L, -1));
    lua_pop(L, 1);
    char why[512];
    int err;
    {
        drv::fan::Options o;
        o.mount = mount;
        o.host = host;  // never the initial mount namespace: no initial_namespace here
        for (int i = 1; i <= nmounts; i++, lua_pop(L, 1))
            o.mounts.push_back((lua_rawgeti(L, mounts_at, i), lua_tostring(L, -1)));
        for (const char* p = fstypes; *p;) {
            size_t n = strcspn(p, ",");
            if (n) o.fstypes.emplace_back(p, n);
            p += n + (p[n] == ',');
        }
        o.deadline_deny = deadline_deny;
        o.enforcing = enforcing;
        if (exempt[0]) o.exempt.push_back(exempt);
        o.timeout_ms = timeout < 0 || timeout > INT32_MAX ? -1 : static_cast<int>(timeout);
        o.handle = handle;
        std::string text;
        err = drv::fan::start(o, &text);
        snprintf(why, sizeof why, "%s", text.c_str());
    }
    if (err) return luaL_error(L, "vavasim: live: %s", why);
    lua_pushboolean(L, 1);
    return 1;
}

// Interposition works only from the initial objects ahead of the C library.
int find_order(struct dl_phdr_info* info, size_t, void* data)
{
    auto* pos = static_cast<int*>(data);  // [0] counter, [1] this library, [2] libc
    static const char marker = 0;
    const char* name = info->dlpi_name ? info->dlpi_name : "";
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD && reinterpret_cast<uintptr_t>(&marker) - lo < ph.p_memsz) pos[1] = pos[0];
    }
    if (strstr(name, "/libc.so.") && pos[2] < 0) pos[2] = pos[0];
    pos[0]++;
    return 0;
}

bool preloaded()
{
    int pos[3] = {0, -1, -1};
    dl_iterate_phdr(find_order, pos);
    return pos[1] >= 0 && pos[2] >= 0 && pos[1] < pos[2];
}

const luaL_Reg kFunctions[] = {
    {"reset", l_reset},
    {"setup", l_setup},
    {"status", l_status},
    {"push", l_push},
    {"pushraw", l_pushraw},
    {"replies", l_replies},
    {"commands", l_commands},
    {"respond", l_respond},
    {"hangup", l_hangup},
    {"null", l_null},
    {"exitchannel", l_exitchannel},
    {"shutdown", l_shutdown},
    {"lastcommand", l_lastcommand},
    {"fail", l_fail},
    {"live", l_live},
    {nullptr, nullptr},
};

}  // namespace

extern "C" int luaopen_vavasim(lua_State* L)
{
    if (!preloaded()) return luaL_error(L, "vavasim: libvavasim.so must be preloaded (LD_PRELOAD) ahead of the C library");
    luaL_newlib(L, kFunctions);
    return 1;
}
