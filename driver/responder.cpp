// Command answers. A Lua responder runs on a thread of the Lua state that
// installed it; calls into that state are serialised by one recursive mutex
// (recursive because a responder may itself issue a command).
#include "responder.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace drv {
namespace {

std::atomic<uint32_t> g_filter_id{1};

bool starts_with(const std::string& s, const char* prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

Response default_answer(const std::string& cmd)
{
    if (starts_with(cmd, "\"beworker\"") || starts_with(cmd, "\"setfilefilter\"") || starts_with(cmd, "\"program\""))
        return {"true", 0};
    if (starts_with(cmd, "\"getfilefilter\"")) {
        // pidsize and fdsize at 8 and 12, the filter id at 16.
        uint32_t words[5] = {0, 0, 32, 32, g_filter_id.fetch_add(1)};
        unsigned char bytes[20];
        for (int i = 0; i < 5; i++)
            for (int b = 0; b < 4; b++) bytes[i * 4 + b] = static_cast<unsigned char>(words[i] >> (8 * b));
        return {std::string(reinterpret_cast<char*>(bytes), sizeof bytes), 0};
    }
    return {"null", 0};
}

struct LuaResponder {
    lua_State* main = nullptr;    // the owning state's main thread; null: built-in answers
    lua_State* thread = nullptr;  // the responder's own Lua thread
    int fn_ref = LUA_NOREF;
    int thread_ref = LUA_NOREF;
};

std::recursive_mutex& responder_mutex()
{
    static auto* mu = new std::recursive_mutex;
    return *mu;
}

LuaResponder g_responder;  // guarded by responder_mutex()

const char* const kGuardKey = "vavasim.responder_guard";

lua_State* main_thread(lua_State* L)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_MAINTHREAD);
    lua_State* m = lua_tothread(L, -1);
    lua_pop(L, 1);
    return m;
}

// Runs when the owning state closes: nobody may call into it afterwards.
int guard_gc(lua_State* L)
{
    lua_State* m = main_thread(L);
    std::lock_guard<std::recursive_mutex> lock(responder_mutex());
    if (g_responder.main == m) g_responder = LuaResponder{};
    return 0;
}

void ensure_guard(lua_State* L)
{
    lua_getfield(L, LUA_REGISTRYINDEX, kGuardKey);
    bool present = !lua_isnil(L, -1);
    lua_pop(L, 1);
    if (present) return;
    lua_newuserdata(L, 1);
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, guard_gc);
    lua_setfield(L, -2, "__gc");
    lua_setmetatable(L, -2);
    lua_setfield(L, LUA_REGISTRYINDEX, kGuardKey);
}

struct CallArgs {
    const std::string* command;
    int fn_ref;
};

// Protected part of a call: everything that can raise.
int call_protected(lua_State* L)
{
    auto* a = static_cast<CallArgs*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    lua_rawgeti(L, LUA_REGISTRYINDEX, a->fn_ref);
    lua_pushlstring(L, a->command->data(), a->command->size());
    lua_call(L, 1, 2);
    if (lua_isnil(L, 1)) {
        lua_pushliteral(L, "");
        lua_replace(L, 1);
    } else if (!lua_isstring(L, 1)) {
        return luaL_error(L, "responder returned %s instead of a string", luaL_typename(L, 1));
    }
    lua_tostring(L, 1);  // numbers become strings here, where a raise is safe
    if (!lua_isnil(L, 2) && !lua_isnumber(L, 2))
        return luaL_error(L, "responder status is %s instead of a number", luaL_typename(L, 2));
    return 2;
}

Response call_lua(const LuaResponder& r, const std::string& cmd)
{
    lua_State* T = r.thread;
    CallArgs args{&cmd, r.fn_ref};
    lua_settop(T, 0);
    lua_pushcfunction(T, call_protected);
    lua_pushlightuserdata(T, &args);
    if (lua_pcall(T, 1, 2, 0) != LUA_OK) {
        const char* msg = lua_tostring(T, -1);
        fprintf(stderr, "vavasim: responder failed: %s\n", msg ? msg : "(no message)");
        lua_settop(T, 0);
        return {std::string(), -EIO};
    }
    Response out;
    size_t len = 0;
    const char* bytes = lua_tolstring(T, 1, &len);
    out.bytes.assign(bytes, len);
    double st = lua_isnil(T, 2) ? 0 : lua_tonumber(T, 2);
    out.status = std::isfinite(st) && std::fabs(st) < 1e9 ? static_cast<int>(st) : -EINVAL;
    lua_settop(T, 0);
    return out;
}

void release(lua_State* L, const LuaResponder& old)
{
    // Only the owning state's references can be dropped from here.
    if (old.main == nullptr || old.main != main_thread(L)) return;
    luaL_unref(L, LUA_REGISTRYINDEX, old.fn_ref);
    luaL_unref(L, LUA_REGISTRYINDEX, old.thread_ref);
}

void install(lua_State* L, const LuaResponder& r)
{
    LuaResponder old;
    {
        std::lock_guard<std::recursive_mutex> lock(responder_mutex());
        old = g_responder;
        g_responder = r;
    }
    release(L, old);
}

}  // namespace

Response answer_command(const std::string& command)
{
    std::lock_guard<std::recursive_mutex> lock(responder_mutex());
    if (!g_responder.main) return default_answer(command);
    return call_lua(g_responder, command);
}

void reset_default_responder()
{
    g_filter_id.store(1);
}

void set_lua_responder(lua_State* L, int idx)
{
    if (lua_isnoneornil(L, idx)) {
        clear_lua_responder(L);
        return;
    }
    luaL_checktype(L, idx, LUA_TFUNCTION);
    ensure_guard(L);
    LuaResponder r;
    r.main = main_thread(L);
    r.thread = lua_newthread(L);
    r.thread_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushvalue(L, idx);
    r.fn_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    install(L, r);
}

void clear_lua_responder(lua_State* L)
{
    install(L, LuaResponder{});
}

}  // namespace drv
