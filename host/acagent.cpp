// Embedding host: runs one Lua script in N threads, one Lua state each, the way
// the agent runs its policy code.
//   acagent [-w N] script.lua [args...]
#include <lua.hpp>
#include <pthread.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libgen.h>

namespace {

struct worker_ctx {
    int index;
    int count;
    int argc;  // script and its arguments
    char** argv;
    const char* exe_dir;
    int failed;    // written by the worker, read by main only after the join
    int started;   // written by main only
    pthread_t thread;
};

void set_cpath(lua_State* L, const char* dir)
{
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "cpath");
    const char* old = lua_tostring(L, -1);
    lua_pushfstring(L, "%s/?.so;%s", dir, old ? old : "");
    lua_setfield(L, -3, "cpath");
    lua_pop(L, 2);
}

void set_arg(lua_State* L, const worker_ctx& w)
{
    lua_createtable(L, w.argc, 1);
    for (int i = 0; i < w.argc; i++) {
        lua_pushstring(L, w.argv[i]);
        lua_rawseti(L, -2, i);
    }
    lua_setglobal(L, "arg");
}

int traceback(lua_State* L)
{
    const char* msg = lua_tostring(L, 1);
    luaL_traceback(L, L, msg ? msg : "(error object is not a string)", 1);
    return 1;
}

void* run_worker(void* p)
{
    auto* w = static_cast<worker_ctx*>(p);
    lua_State* L = luaL_newstate();
    if (!L) {
        fprintf(stderr, "worker %d: cannot create Lua state\n", w->index);
        w->failed = 1;
        return nullptr;
    }
    luaL_openlibs(L);
    set_cpath(L, w->exe_dir);
    lua_pushinteger(L, w->index);
    lua_setglobal(L, "worker");
    lua_pushinteger(L, w->count);
    lua_setglobal(L, "workers");
    set_arg(L, *w);

    lua_pushcfunction(L, traceback);
    int rc = luaL_loadfile(L, w->argv[0]);
    if (rc == LUA_OK) {
        for (int i = 1; i < w->argc; i++) lua_pushstring(L, w->argv[i]);
        rc = lua_pcall(L, w->argc - 1, 0, 1);
    }
    if (rc != LUA_OK) {
        const char* msg = lua_tostring(L, -1);
        fprintf(stderr, "worker %d: %s\n", w->index, msg ? msg : "(error object is not a string)");
        w->failed = 1;
    }
    lua_close(L);
    return nullptr;
}

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: acagent [-w N] script.lua [args...]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    int workers = 1;
    int i = 1;
    if (i < argc && strcmp(argv[i], "-w") == 0) {
        if (i + 1 >= argc) usage();
        char* end;
        long n = strtol(argv[i + 1], &end, 10);
        if (*end || n < 1 || n > 1024) usage();
        workers = (int)n;
        i += 2;
    }
    if (i >= argc) usage();

    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n < 0) {
        snprintf(exe, sizeof exe, "%s", argv[0]);
        n = (ssize_t)strlen(exe);
    }
    exe[n] = '\0';
    const char* exe_dir = dirname(exe);

    auto* ctx = static_cast<worker_ctx*>(calloc((size_t)workers, sizeof(worker_ctx)));
    for (int w = 0; w < workers; w++) {
        ctx[w] = worker_ctx{w + 1, workers, argc - i, argv + i, exe_dir, 0, 1, {}};
        if (pthread_create(&ctx[w].thread, nullptr, run_worker, &ctx[w]) != 0) {
            fprintf(stderr, "worker %d: cannot start thread\n", w + 1);
            ctx[w].started = 0;
        }
    }
    int status = 0;
    for (int w = 0; w < workers; w++) {
        if (ctx[w].started) pthread_join(ctx[w].thread, nullptr);
        if (!ctx[w].started || ctx[w].failed) status = 1;
    }
    free(ctx);
    return status;
}
