// The workers of acagent: N threads, one Lua state each, running one script.
#include "workers.h"

#include <lua.hpp>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "status_snapshot.h"

namespace {

struct worker_ctx {
    int index;
    int count;
    int argc;  // script and its arguments
    char** argv;
    const char* exe_dir;
    void (*prepare)(lua_State*);  // run on each state before the script; may be null
    WorkerStatus* status;  // written by the worker; read by main after the join, by the status thread at any time
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
        w->status->finish("cannot create Lua state");
        return nullptr;
    }
    luaL_openlibs(L);
    set_cpath(L, w->exe_dir);
    lua_pushinteger(L, w->index);
    lua_setglobal(L, "worker");
    lua_pushinteger(L, w->count);
    lua_setglobal(L, "workers");
    set_arg(L, *w);
    if (w->prepare) w->prepare(L);

    lua_pushcfunction(L, traceback);
    int rc = luaL_loadfile(L, w->argv[0]);
    if (rc == LUA_OK) {
        for (int i = 1; i < w->argc; i++) lua_pushstring(L, w->argv[i]);
        rc = lua_pcall(L, w->argc - 1, 0, 1);
    }
    const char* msg = nullptr;
    if (rc != LUA_OK) {
        msg = lua_tostring(L, -1);
        if (!msg) msg = "(error object is not a string)";
        fprintf(stderr, "worker %d: %s\n", w->index, msg);
    }
    w->status->finish(msg);
    lua_close(L);
    return nullptr;
}

}  // namespace

int run_workers(const WorkersConfig& cfg)
{
    auto* ctx = static_cast<worker_ctx*>(calloc((size_t)cfg.workers, sizeof(worker_ctx)));
    std::unique_ptr<WorkerStatus[]> states(new (std::nothrow) WorkerStatus[cfg.workers]);
    if (!ctx || !states) {
        free(ctx);
        fprintf(stderr, "acagent: out of memory\n");
        return 1;
    }
    StatusReporter reporter;  // first: it loads the engine's modules before any worker runs
    if (!cfg.status_file || *cfg.status_file)
        reporter.start({cfg.status_file ? cfg.status_file : default_status_path(), cfg.argv[0], cfg.exe_dir},
                       states.get(), cfg.workers);
    for (int w = 0; w < cfg.workers; w++) {
        ctx[w] = worker_ctx{w + 1, cfg.workers, cfg.argc, cfg.argv, cfg.exe_dir, cfg.prepare, &states[w], 1, {}};
        if (pthread_create(&ctx[w].thread, nullptr, run_worker, &ctx[w]) != 0) {
            fprintf(stderr, "worker %d: cannot start thread\n", w + 1);
            states[w].finish("cannot start thread");
            ctx[w].started = 0;
        }
    }
    int status = 0;
    for (int w = 0; w < cfg.workers; w++) {
        if (ctx[w].started) pthread_join(ctx[w].thread, nullptr);
        if (states[w].state.load() != worker_finished) status = 1;
    }
    reporter.stop();
    free(ctx);
    return status;
}
