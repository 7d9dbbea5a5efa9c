#include "common.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

[[noreturn]] void die(const std::string& what)
{
    fprintf(stderr, "benchmark setup: %s\n", what.c_str());
    exit(1);
}

void write_file(const std::string& path, const char* text, mode_t mode)
{
    FILE* f = fopen(path.c_str(), "w");
    if (!f) die("cannot write " + path + ": " + strerror(errno));
    fputs(text, f);
    fclose(f);
    chmod(path.c_str(), mode);
}

std::string read_link(const std::string& link)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) return "";
    buf[n] = '\0';
    return buf;
}

bool ends_with(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

static bool tracing()
{
    static const bool on = getenv("BENCH_ALLOC_TRACE") != nullptr;
    return on;
}

static bool g_attribute = false;

void attribute_sim_allocations() { g_attribute = bench_alloc_set_module("libvavasim.so") != 0; }

AllocMeter::AllocMeter()
{
    if (tracing()) bench_alloc_trace(1);
    if (g_attribute) bench_alloc_attribute(1);
    bench_alloc_counts(&start_);
}

void AllocMeter::pause()
{
    if (tracing()) bench_alloc_trace(0);
    if (g_attribute) bench_alloc_attribute(0);
    bench_alloc_counts(&paused_);
}

void AllocMeter::resume()
{
    bench_alloc_snapshot now;
    bench_alloc_counts(&now);
    left_out_ += now.allocs - paused_.allocs;
    left_out_attributed_ += now.attributed - paused_.attributed;
    if (tracing()) bench_alloc_trace(2);
    if (g_attribute) bench_alloc_attribute(1);
}

void AllocMeter::report(benchmark::State& state, double events_per_iteration) const
{
    if (tracing()) {
        bench_alloc_trace(0);  // (the report's own allocations below are not shown)
        fprintf(stderr, "== allocations over %lld iterations:\n", (long long)state.iterations());
        bench_alloc_trace_dump(2);
    }
    // Read before the counters below allocate.
    if (g_attribute) bench_alloc_attribute(0);
    bench_alloc_snapshot now;
    bench_alloc_counts(&now);
    double all = (double)(now.allocs - start_.allocs - left_out_);
    double sim = (double)(now.attributed - start_.attributed - left_out_attributed_);
    // Per thread; the threads of a multi-threaded benchmark are averaged.
    using benchmark::Counter;
    double events = (double)state.iterations() * events_per_iteration;
    state.counters["events_per_iter"] = Counter(events_per_iteration, Counter::kAvgThreads);
    if (!bench_alloc_enabled() || events <= 0) return;
    if (g_attribute) {
        state.counters["allocs_per_event"] = Counter((all - sim) / events, Counter::kAvgThreads);
        state.counters["sim_allocs_per_event"] = Counter(sim / events, Counter::kAvgThreads);
    } else {
        state.counters["allocs_per_event"] = Counter(all / events, Counter::kAvgThreads);
    }
}

uint64_t AllocMeter::allocs() const
{
    bench_alloc_snapshot now;
    bench_alloc_counts(&now);
    return now.allocs - start_.allocs - left_out_;
}

Workdir::Workdir()
{
    dir = "/srv/acengine-bench." + std::to_string(getpid());
    std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "' && cp /usr/bin/true '" + dir + "/tool'";
    if (system(cmd.c_str()) != 0) die("cannot prepare " + dir);
    tool = dir + "/tool";
    script = dir + "/run.sh";
    data = dir + "/out.dat";
    chmod(tool.c_str(), 0755);
    write_file(script, "echo hi\n", 0644);
    write_file(data, "data\n", 0644);
}

Workdir::~Workdir()
{
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir.c_str());
}

LiveProcess::LiveProcess(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
                         const std::vector<Fd>& fds, const std::string& exe_suffix)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) die(std::string("fork: ") + strerror(errno));
    if (pid_ == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        int null = open("/dev/null", O_RDWR);
        for (int std_fd = 0; std_fd < 3; std_fd++) dup2(null, std_fd);
        for (const Fd& f : fds) {
            int o = open(f.path.c_str(), f.flags, 0644);
            if (o < 0) _exit(127);
            int high = fcntl(o, F_DUPFD, 200);
            close(o);
            if (dup2(high, f.fd) < 0) _exit(127);
            close(high);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    for (int i = 0; i < 1000; i++) {
        if (ends_with(read_link("/proc/" + std::to_string(pid_) + "/exe"), exe_suffix)) return;
        usleep(10000);
    }
    die(program + " did not start");
}

LiveProcess::~LiveProcess()
{
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

LiveProcess* spawn_caller(const Workdir& w)
{
    return new LiveProcess("/usr/bin/sleep", {"3600"}, w.dir,
                           {{5, w.tool, O_RDONLY}, {6, w.data, O_WRONLY | O_APPEND}}, "/sleep");
}

LiveProcess* spawn_shell(const Workdir& w)
{
    // bash stays the process while its child sleeps.
    return new LiveProcess("/usr/bin/bash", {"-c", "sleep 3600; :"}, w.dir, {}, "/bash");
}

void ensure_sim_preloaded(char** argv)
{
    const char* preload = getenv("LD_PRELOAD");
    if (preload && strstr(preload, "libvavasim.so")) return;
    std::string value = std::string(BENCH_BUILD_DIR) + "/libvavasim.so";
    if (preload && *preload) value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    die(std::string("cannot re-execute with the simulated driver: ") + strerror(errno));
}

lua_State* new_lua()
{
    lua_State* L = luaL_newstate();
    if (!L) die("cannot create a Lua state");
    luaL_openlibs(L);
    std::string code = std::string("package.cpath = '") + BENCH_BUILD_DIR + "/?.so;' .. package.cpath";
    lua_run(L, code.c_str());
    return L;
}

void lua_run(lua_State* L, const char* code, int nresults)
{
    if (luaL_loadstring(L, code) != LUA_OK || lua_pcall(L, 0, nresults, 0) != LUA_OK)
        die(std::string("Lua: ") + lua_tostring(L, -1));
}

void lua_call_global(lua_State* L, const char* fn, const char* kind, int n, int nresults)
{
    lua_getglobal(L, fn);
    int args = 0;
    if (kind) {
        lua_pushstring(L, kind);
        lua_pushinteger(L, n);
        args = 2;
    }
    if (lua_pcall(L, args, nresults, 0) != LUA_OK) die(std::string("Lua ") + fn + ": " + lua_tostring(L, -1));
}

bool lua_verify(benchmark::State& state, lua_State* L, const char* kind, int n)
{
    lua_call_global(L, "verify", kind, n, 1);
    bool ok = lua_isnil(L, -1);
    std::string why = ok ? "" : lua_tostring(L, -1);
    lua_pop(L, 1);
    return check(state, ok, std::string(kind) + ": " + why);
}

bool lua_drain(lua_State* L)
{
    lua_call_global(L, "drain", nullptr, 0, 1);
    bool ok = lua_toboolean(L, -1);
    lua_pop(L, 1);
    return ok;
}

void lua_batches(benchmark::State& state, lua_State* L, const char* kind, int n, const char* failure)
{
    if (!lua_verify(state, L, kind, n * 2)) return;
    AllocMeter meter;
    bool ok = true;
    while (state.KeepRunningBatch(n)) {
        state.PauseTiming();
        meter.pause();
        lua_call_global(L, "feed", kind, n, 0);
        meter.resume();
        state.ResumeTiming();
        ok = lua_drain(L) && ok;
    }
    meter.report(state, 1);
    if (!check(state, ok, failure)) return;
    lua_verify(state, L, kind, n * 2);
}

int run(int argc, char** argv, const char* name)
{
    std::vector<std::string> extra;
    bool has_out = false;
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], "--benchmark_out=", 16) == 0) has_out = true;
    if (!has_out) {
        const char* dir = getenv("BENCH_RESULTS");
        extra.push_back(std::string("--benchmark_out=") + (dir && *dir ? dir : ".") + "/" + name + ".csv");
        extra.push_back("--benchmark_out_format=csv");
    }
    std::vector<char*> args(argv, argv + argc);
    for (std::string& e : extra) args.push_back(&e[0]);
    int n = (int)args.size();
    args.push_back(nullptr);
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
    if (!bench_alloc_enabled()) fprintf(stderr, "note: sanitizer build, allocations are not counted\n");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

bool check(benchmark::State& state, bool cond, const std::string& what)
{
    if (!cond) state.SkipWithError(what.c_str());
    return cond;
}

}  // namespace bench
