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

#include "file_info.h"
#include "host_command.h"
#include "status_command.h"
#include "status_snapshot.h"
#include "workers.h"

// The build passes the project's version; a bare compile still identifies itself.
#ifndef AC_VERSION
#define AC_VERSION "0.0.0-dev"
#endif

namespace {

constexpr int max_workers = 1024;

void print_help()
{
    printf("usage: acagent [options] script.lua [args...]\n"
           "       acagent host --mode permissive|enforcing [options]   (see acagent host --help)\n"
           "       acagent mode enforcing|permissive [PID]\n"
           "       acagent trust add|remove|list|check ...             (see acagent trust --help)\n"
           "       acagent status [--json] [PID|PATH]\n"
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
           "next to it load with require; require \"acagent.files\" gives stat identity,\n"
           "realpath, directory listings and mkdir.\n"
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
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n < 0) {
        snprintf(exe, sizeof exe, "%s", invoked_as);
        n = (ssize_t)strlen(exe);
    }
    exe[n] = '\0';
    const char* exe_dir = dirname(exe);
    if (argc > 1 && strcmp(argv[1], "host") == 0) return host_command(argc - 1, argv + 1, exe_dir);
    if (argc > 1 && strcmp(argv[1], "mode") == 0) return mode_command(argc - 1, argv + 1);
    if (argc > 1 && strcmp(argv[1], "trust") == 0) return trust_command(argc - 1, argv + 1, exe_dir);
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

    WorkersConfig cfg{workers, argc - i, argv + i, exe_dir, status_file, preload_file_info};
    return run_workers(cfg);
}
