// Embedding host: runs one Lua script in N threads, one Lua state each, the way
// the agent runs its policy code. `acagent --help` describes the options.
#include <lua.hpp>
#include <getopt.h>
#include <pthread.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libgen.h>
#include <memory>
#include <new>
#include <string>

#include "status_command.h"
#include "status_snapshot.h"

// The build passes the project's version; a bare compile still identifies itself.
#ifndef AC_VERSION
#define AC_VERSION "0.0.0-dev"
#endif

namespace {

struct worker_ctx {
    int index;
    int count;
    int argc;  // script and its arguments
    char** argv;
    const char* exe_dir;
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

constexpr int max_workers = 1024;

void print_help()
{
    printf("usage: acagent [options] script.lua [args...]\n"
           "\n"
           "Runs script.lua in N threads at once, each in a Lua 5.2 state of its own\n"
           "with the standard libraries, and waits for all of them.\n"
           "\n"
           "options (they end at the script name; what follows goes to the script):\n"
           "  -w, --workers N       number of workers, 1..%d (default 1)\n"
           "      --status-file PATH\n"
           "                        write the status snapshot to PATH (default\n"
           "                        %s/PID.json, else $TMPDIR/acagent-PID.json);\n"
           "                        '' turns it off\n"
           "      --no-status       write no status snapshot\n"
           "  -h, --help            print this help and exit\n"
           "      --version         print the version and exit\n"
           "\n"
           "globals in each worker's state:\n"
           "  worker   this worker's number, 1..N\n"
           "  workers  N\n"
           "  arg      arg[0] the script, arg[1..] its arguments (also passed as ...)\n"
           "package.cpath starts with acagent's own directory, so that modules built\n"
           "next to it load with require.\n"
           "\n"
           "While the workers run, a thread of its own writes every second a status\n"
           "snapshot (JSON: version, pid, start time, uptime, script, each worker's\n"
           "state, the engine's counters), removed at exit. 'acagent status' prints\n"
           "it; 'acagent status --help' tells more.\n"
           "\n"
           "exit status: 0 when every worker finished without a Lua error, 1 when one\n"
           "failed (each error on standard error), 2 on a usage error.\n",
           max_workers, status_dir);
}

[[noreturn]] void usage_error()
{
    fprintf(stderr, "Try 'acagent --help' for more information.\n");
    exit(2);
}

int parse_workers(const char* s)
{
    char* end;
    errno = 0;
    long n = isdigit((unsigned char)*s) ? strtol(s, &end, 10) : 0;
    if (n < 1 || n > max_workers || errno || *end) {
        fprintf(stderr, "acagent: invalid worker count '%s' (1..%d)\n", s, max_workers);
        usage_error();
    }
    return (int)n;
}

}  // namespace

int main(int argc, char** argv)
{
    // getopt's messages name argv[0]: name the program, not the path it was started by.
    const char* invoked_as = argv[0];
    argv[0] = const_cast<char*>("acagent");
    if (argc > 1 && strcmp(argv[1], "status") == 0) return status_command(argc - 1, argv + 1);
    static const option long_opts[] = {
        {"workers", required_argument, nullptr, 'w'},
        {"status-file", required_argument, nullptr, 'S'},
        {"no-status", no_argument, nullptr, 'N'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    int workers = 1;
    const char* status_file = nullptr;  // null: the default path; "": none
    int opt;
    // "+": stop at the script name, so the script's own arguments stay unparsed.
    while ((opt = getopt_long(argc, argv, "+hw:", long_opts, nullptr)) != -1) {
        switch (opt) {
        case 'w': workers = parse_workers(optarg); break;
        case 'S': status_file = optarg; break;
        case 'N': status_file = ""; break;
        case 'h': print_help(); return 0;
        case 'V': printf("acagent %s\n", AC_VERSION); return 0;
        default: usage_error();  // getopt has named the bad option
        }
    }
    if (optind >= argc) {
        fprintf(stderr, "acagent: no script given\n");
        usage_error();
    }
    int i = optind;

    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n < 0) {
        snprintf(exe, sizeof exe, "%s", invoked_as);
        n = (ssize_t)strlen(exe);
    }
    exe[n] = '\0';
    const char* exe_dir = dirname(exe);

    auto* ctx = static_cast<worker_ctx*>(calloc((size_t)workers, sizeof(worker_ctx)));
    std::unique_ptr<WorkerStatus[]> states(new (std::nothrow) WorkerStatus[workers]);
    if (!ctx || !states) {
        fprintf(stderr, "acagent: out of memory\n");
        return 1;
    }
    for (int w = 0; w < workers; w++) {
        ctx[w] = worker_ctx{w + 1, workers, argc - i, argv + i, exe_dir, &states[w], 1, {}};
        if (pthread_create(&ctx[w].thread, nullptr, run_worker, &ctx[w]) != 0) {
            fprintf(stderr, "worker %d: cannot start thread\n", w + 1);
            states[w].finish("cannot start thread");
            ctx[w].started = 0;
        }
    }
    StatusReporter reporter;
    if (!status_file || *status_file)
        reporter.start({status_file ? status_file : default_status_path(), argv[i], exe_dir}, states.get(), workers);
    int status = 0;
    for (int w = 0; w < workers; w++) {
        if (ctx[w].started) pthread_join(ctx[w].thread, nullptr);
        if (states[w].state.load() != worker_finished) status = 1;
    }
    reporter.stop();
    free(ctx);
    return status;
}
