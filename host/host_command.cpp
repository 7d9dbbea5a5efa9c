// `acagent host`: protects the chosen mounts of this host. The driver
// (libacdriver.so, linked into acagent, so no preload is needed) watches them
// with fanotify and serves the device; N workers run policy/host.lua, which
// answers what the engine's fast path leaves to the policy. Signals go to one
// thread: SIGTERM/SIGINT stop (every held event answered), SIGHUP reloads the
// policy, SIGUSR1/SIGUSR2 switch to enforcing/permissive.
#include "host_command.h"

#include <getopt.h>
#include <lua.hpp>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/host_mode.h"
#include "file_info.h"
#include "status_command.h"
#include "workers.h"

#ifndef AC_SOURCE_DIR
#define AC_SOURCE_DIR "."
#endif

namespace {

constexpr int kDefaultWorkers = 2;
constexpr int kMaxWorkers = 64;
constexpr int kMaxDeadlineMs = 60000;

std::atomic<unsigned> g_generation{0};  // policy reloads asked for (SIGHUP)
std::atomic<bool> g_stopping{false};     // the driver was stopped (SIGTERM, SIGINT)
std::string g_policy;                   // the policy file the workers load

void print_host_help()
{
    printf("usage: acagent host --mode permissive|enforcing [options]\n"
           "\n"
           "Protects this host: every exec and open on the watched mounts waits for\n"
           "the engine and the policy. Runs until SIGTERM or SIGINT.\n"
           "\n"
           "  --mode MODE            permissive (everything runs; what would be denied\n"
           "                         is logged and counted) or enforcing; required\n"
           "  --mount DIR            watch this mount point (repeatable); without it,\n"
           "                         every mount whose type is in --fstypes\n"
           "  --fstypes LIST         comma-separated (default %s)\n"
           "  --deadline MS          answer every held event within MS ms (default 2000)\n"
           "  --deadline-answer allow|deny\n"
           "                         what the deadline answers (default allow)\n"
           "  --exempt PATH          never hold operations of this program (repeatable)\n"
           "  --policy FILE          the policy module (default: trust by content,\n"
           "                         trust/policy.lua; see acagent trust --help)\n"
           "  -w, --workers N        policy workers, 1..%d (default %d)\n"
           "  --watch-initial-namespace\n"
           "                         allow watching the machine's initial mount namespace\n"
           "                         (without it, run inside `unshare -m`)\n"
           "  --status-file PATH, --no-status   as for acagent\n"
           "\n"
           "signals: SIGTERM, SIGINT stop; SIGHUP reloads the policy; SIGUSR1 switches to\n"
           "enforcing, SIGUSR2 to permissive ('acagent mode MODE [PID]' sends them).\n",
           acdriver_default_fstypes(), kMaxWorkers, kDefaultWorkers);
}

int usage(const char* fmt, const char* what)
{
    fprintf(stderr, "acagent host: ");
    fprintf(stderr, fmt, what);
    fprintf(stderr, "\nTry 'acagent host --help' for more information.\n");
    return 2;
}

bool parse_int(const char* s, int lo, int hi, int* out)
{
    char* end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < lo || v > hi) return false;
    *out = (int)v;
    return true;
}

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// ---------------------------------------------------------------- Lua module acagent.host

int l_generation(lua_State* L)
{
    lua_pushnumber(L, g_generation.load(std::memory_order_relaxed));
    return 1;
}

// A worker whose handle was opened after the stop (it was still loading its
// policy) is never hung up; it ends when it sees this.
int l_stopping(lua_State* L)
{
    lua_pushboolean(L, g_stopping.load(std::memory_order_relaxed));
    return 1;
}

int l_policy(lua_State* L)
{
    lua_pushstring(L, g_policy.c_str());
    return 1;
}

int l_status(lua_State* L)
{
    char buf[4096];
    size_t n = acdriver_status_json(buf, sizeof buf);
    lua_pushlstring(L, buf, n < sizeof buf ? n : sizeof buf - 1);
    return 1;
}

int open_host_module(lua_State* L)
{
    static const luaL_Reg fns[] = {
        {"generation", l_generation},
        {"policy", l_policy},
        {"stopping", l_stopping},
        {"status", l_status},
        {nullptr, nullptr},
    };
    luaL_newlib(L, fns);
    return 1;
}

void prepare_state(lua_State* L)
{
    preload(L, "acagent.host", open_host_module);
    preload_file_info(L);
}

// ---------------------------------------------------------------- signals

void* signal_thread(void*)
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGHUP) {
            g_generation.fetch_add(1, std::memory_order_relaxed);
            fprintf(stderr, "acagent: SIGHUP: reloading the policy\n");
        } else if (sig == SIGUSR1 || sig == SIGUSR2) {
            acdriver_set_enforcing(sig == SIGUSR1);
            fprintf(stderr, "acagent: mode: %s\n", sig == SIGUSR1 ? "enforcing" : "permissive");
        } else {
            g_stopping.store(true, std::memory_order_relaxed);
            unsigned n = acdriver_stop();
            fprintf(stderr, "acagent: stopping (%s); %u held events answered\n", strsignal(sig), n);
            return nullptr;
        }
    }
}

struct HostOptions {
    acdriver_config driver{};
    std::vector<const char*> mounts, exempt;
    int workers = kDefaultWorkers;
    const char* mode = nullptr;
    const char* policy = nullptr;
    const char* status_file = nullptr;
};

// 0, or the exit status of a usage error.
int parse_host_options(int argc, char** argv, HostOptions& o)
{
    enum { MODE = 256, MOUNT, FSTYPES, DEADLINE, ANSWER, EXEMPT, POLICY, INITIAL, STATUS_FILE, NO_STATUS };
    static const option long_opts[] = {
        {"mode", required_argument, nullptr, MODE},         {"mount", required_argument, nullptr, MOUNT},
        {"fstypes", required_argument, nullptr, FSTYPES},   {"deadline", required_argument, nullptr, DEADLINE},
        {"deadline-answer", required_argument, nullptr, ANSWER},
        {"exempt", required_argument, nullptr, EXEMPT},     {"policy", required_argument, nullptr, POLICY},
        {"watch-initial-namespace", no_argument, nullptr, INITIAL},
        {"workers", required_argument, nullptr, 'w'},       {"status-file", required_argument, nullptr, STATUS_FILE},
        {"no-status", no_argument, nullptr, NO_STATUS},     {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    o.driver.deadline_ms = 2000;
    optind = 1;
    argv[0] = const_cast<char*>("acagent host");
    int opt;
    while ((opt = getopt_long(argc, argv, "hw:", long_opts, nullptr)) != -1) {
        switch (opt) {
        case MODE: o.mode = optarg; break;
        case MOUNT: o.mounts.push_back(optarg); break;
        case FSTYPES: o.driver.fstypes = optarg; break;
        case DEADLINE:
            if (!parse_int(optarg, 1, kMaxDeadlineMs, &o.driver.deadline_ms))
                return usage("invalid deadline '%s' (1..60000 ms)", optarg);
            break;
        case ANSWER:
            if (strcmp(optarg, "allow") && strcmp(optarg, "deny"))
                return usage("invalid deadline answer '%s' (allow or deny)", optarg);
            o.driver.deadline_deny = strcmp(optarg, "deny") == 0;
            break;
        case EXEMPT: o.exempt.push_back(optarg); break;
        case POLICY: o.policy = optarg; break;
        case INITIAL: o.driver.initial_namespace = 1; break;
        case 'w':
            if (!parse_int(optarg, 1, kMaxWorkers, &o.workers)) return usage("invalid worker count '%s'", optarg);
            break;
        case STATUS_FILE: o.status_file = optarg; break;
        case NO_STATUS: o.status_file = ""; break;
        case 'h': print_host_help(); exit(0);
        default: return usage("%s", "bad option");
        }
    }
    if (optind < argc) return usage("unexpected argument '%s'", argv[optind]);
    if (!o.mode) return usage("%s", "--mode permissive|enforcing is required");
    if (strcmp(o.mode, "permissive") && strcmp(o.mode, "enforcing"))
        return usage("invalid mode '%s' (permissive or enforcing)", o.mode);
    o.driver.enforcing = strcmp(o.mode, "enforcing") == 0;
    o.driver.mounts = o.mounts.data();
    o.driver.mount_count = (int)o.mounts.size();
    o.driver.exempt = o.exempt.data();
    o.driver.exempt_count = (int)o.exempt.size();
    o.driver.handles = o.workers;
    return 0;
}

}  // namespace

// A file shipped with acagent: beside an installed binary (../share/acengine),
// else in the source tree it was built from.
std::string shipped(const char* exe_dir, const char* installed, const char* source)
{
    std::string p = std::string(exe_dir) + "/../share/acengine/" + installed;
    if (readable(p)) return p;
    return std::string(AC_SOURCE_DIR) + "/" + source;
}

int host_command(int argc, char** argv, const char* exe_dir)
{
    HostOptions o;
    if (int rc = parse_host_options(argc, argv, o)) return rc;
    std::string runner = shipped(exe_dir, "host.lua", "policy/host.lua");
    g_policy = o.policy ? o.policy : shipped(exe_dir, "trust/policy.lua", "trust/policy.lua");
    if (!readable(g_policy)) {
        fprintf(stderr, "acagent host: cannot read the policy %s: %s\n", g_policy.c_str(), strerror(errno));
        return 1;
    }
    // Every thread made from here on (the driver's reader, the workers) leaves
    // these signals to the signal thread.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    char why[512];
    if (int err = acdriver_start(&o.driver, why, sizeof why)) {
        fprintf(stderr, "acagent host: cannot start the driver: %s\n", why[0] ? why : strerror(err));
        return 1;
    }
    fprintf(stderr, "acagent: protecting in %s mode; policy %s; %d workers\n", o.mode, g_policy.c_str(), o.workers);
    pthread_t sig_thread;
    if (pthread_create(&sig_thread, nullptr, signal_thread, nullptr) != 0) {
        acdriver_stop();
        fprintf(stderr, "acagent host: cannot start the signal thread\n");
        return 1;
    }
    char* script_argv[] = {const_cast<char*>(runner.c_str()), nullptr};
    WorkersConfig cfg{o.workers, 1, script_argv, exe_dir, o.status_file, prepare_state};
    int status = run_workers(cfg);
    // The workers end when the driver hangs up; if they ended on their own,
    // stop the driver through the signal thread all the same.
    pthread_kill(sig_thread, SIGTERM);
    pthread_join(sig_thread, nullptr);
    return status;
}

int mode_command(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || (strcmp(argv[1], "enforcing") && strcmp(argv[1], "permissive"))) {
        fprintf(stderr, "usage: acagent mode enforcing|permissive [PID|PATH]\n");
        return 2;
    }
    pid_t pid = running_agent_pid(argc == 3 ? argv[2] : nullptr);
    if (pid <= 0) return 1;
    if (kill(pid, strcmp(argv[1], "enforcing") == 0 ? SIGUSR1 : SIGUSR2) != 0) {
        fprintf(stderr, "acagent mode: pid %d: %s\n", (int)pid, strerror(errno));
        return 1;
    }
    return 0;
}
