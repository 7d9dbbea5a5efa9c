// Lua module "benchlib" for the scaling run under acagent, where every worker
// is a thread with a Lua state of its own in one process:
//   now()              monotonic clock, seconds
//   barrier(n)         waits until n threads have arrived (reusable)
//   add(key, v)        adds v to a number shared by all workers; returns the sum
//   max(key, v), min(key, v)  keeps the largest / smallest value given
//   value(key)         the shared number, or nil
//   allocs()           this thread's allocation count when libbenchalloc.so is
//                      preloaded, else nil
#include <dlfcn.h>
#include <time.h>

#include <condition_variable>
#include <lua.hpp>
#include <map>
#include <mutex>
#include <string>

#include "alloc_count.h"

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
unsigned long g_generation = 0;
int g_arrived = 0;
std::map<std::string, double>* g_values = new std::map<std::string, double>;  // never freed: threads may outlive statics

int l_now(lua_State* L)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    lua_pushnumber(L, (lua_Number)ts.tv_sec + (lua_Number)ts.tv_nsec * 1e-9);
    return 1;
}

int l_barrier(lua_State* L)
{
    int n = (int)luaL_checkinteger(L, 1);
    {
        std::unique_lock<std::mutex> lock(g_mu);
        unsigned long gen = g_generation;
        if (++g_arrived >= n) {
            g_arrived = 0;
            g_generation++;
            g_cv.notify_all();
        } else {
            g_cv.wait(lock, [gen] { return g_generation != gen; });
        }
    }
    return 0;
}

template <typename Op>
int update(lua_State* L, Op op)
{
    std::string key = luaL_checkstring(L, 1);
    double v = luaL_checknumber(L, 2);
    double result;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        auto it = g_values->find(key);
        result = it == g_values->end() ? v : op(it->second, v);
        (*g_values)[key] = result;
    }
    lua_pushnumber(L, result);
    return 1;
}

int l_add(lua_State* L)
{
    return update(L, [](double a, double b) { return a + b; });
}

int l_max(lua_State* L)
{
    return update(L, [](double a, double b) { return a > b ? a : b; });
}

int l_min(lua_State* L)
{
    return update(L, [](double a, double b) { return a < b ? a : b; });
}

int l_value(lua_State* L)
{
    std::string key = luaL_checkstring(L, 1);
    bool found;
    double v = 0;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        auto it = g_values->find(key);
        found = it != g_values->end();
        if (found) v = it->second;
    }
    if (!found) return 0;
    lua_pushnumber(L, v);
    return 1;
}

int l_allocs(lua_State* L)
{
    using counts_fn = void (*)(bench_alloc_snapshot*);
    using enabled_fn = int (*)(void);
    auto enabled = reinterpret_cast<enabled_fn>(dlsym(RTLD_DEFAULT, "bench_alloc_enabled"));
    auto counts = reinterpret_cast<counts_fn>(dlsym(RTLD_DEFAULT, "bench_alloc_counts"));
    if (!enabled || !counts || !enabled()) return 0;
    bench_alloc_snapshot s;
    counts(&s);
    lua_pushnumber(L, (lua_Number)s.allocs);
    return 1;
}

const luaL_Reg kFunctions[] = {
    {"now", l_now}, {"barrier", l_barrier}, {"add", l_add},       {"max", l_max},
    {"min", l_min}, {"value", l_value},     {"allocs", l_allocs}, {nullptr, nullptr},
};

}  // namespace

extern "C" int luaopen_benchlib(lua_State* L)
{
    luaL_newlib(L, kFunctions);
    return 1;
}
