#include "status_command.h"

#include <dirent.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "json_reader.h"
#include "status_snapshot.h"

namespace {

void print_status_help()
{
    printf("usage: acagent status [--json] [PID|PATH]\n"
           "\n"
           "Prints the status snapshot of a running acagent: its version, pid, start\n"
           "time, uptime, script, each worker's state and the engine's counters. The\n"
           "snapshot is the newest in %s (or in $TMPDIR as acagent-PID.json), or the\n"
           "agent PID's, or the file PATH (an agent started with --status-file PATH).\n"
           "\n"
           "  --json  print the snapshot as the agent wrote it\n"
           "\n"
           "exit status: 0, or 1 when there is no snapshot or its agent is gone.\n",
           status_dir);
}

bool all_digits(const char* s)
{
    for (const char* c = s; *c; c++)
        if (!isdigit((unsigned char)*c)) return false;
    return *s != '\0';
}

// The newest file named PREFIX*.json in `dir`; "" when none.
std::string newest_in(const std::string& dir, const char* prefix, time_t& newest)
{
    std::string best;
    DIR* d = opendir(dir.c_str());
    if (!d) return best;
    size_t plen = strlen(prefix);
    while (dirent* e = readdir(d)) {
        size_t n = strlen(e->d_name);
        if (e->d_name[0] == '.' || strncmp(e->d_name, prefix, plen) != 0 || n < plen + 6 ||
            strcmp(e->d_name + n - 5, ".json") != 0)
            continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (best.empty() || st.st_mtime > newest)) {
            best = path;
            newest = st.st_mtime;
        }
    }
    closedir(d);
    return best;
}

std::string find_snapshot(const char* arg)
{
    if (arg && !all_digits(arg)) return arg;
    std::string fallback = status_fallback_dir();
    if (arg) {
        std::string path = std::string(status_dir) + "/" + arg + ".json";
        if (access(path.c_str(), F_OK) == 0) return path;
        return fallback + "/" + status_fallback_prefix + arg + ".json";
    }
    time_t t1 = 0, t2 = 0;
    std::string run = newest_in(status_dir, "", t1);
    std::string tmp = newest_in(fallback, status_fallback_prefix, t2);
    return tmp.empty() || (!run.empty() && t1 >= t2) ? run : tmp;
}

bool read_file(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    text = buf.str();
    return true;
}

void print_scalar(const JsonValue& v, int indent)
{
    switch (v.kind) {
    case JsonValue::number:
        printf(v.num == (double)(long long)v.num ? "%.0f" : "%g", v.num);
        break;
    case JsonValue::boolean: fputs(v.b ? "true" : "false", stdout); break;
    case JsonValue::string:
        // Multi-line texts (a Lua traceback) keep their lines under the value.
        for (char c : v.str) c == '\n' ? (void)printf("\n%*s", indent + 4, "") : (void)putchar(c);
        break;
    default: fputs("-", stdout);
    }
}

void print_workers(const JsonValue& list, int indent)
{
    for (const JsonValue& w : list.items) {
        const JsonValue* idx = w.find("index");
        const JsonValue* state = w.find("state");
        const JsonValue* err = w.find("error");
        printf("%*sworker %-3.0f  %s", indent, "", idx ? idx->num : 0, state ? state->str.c_str() : "?");
        if (err) {
            fputs("  ", stdout);
            print_scalar(*err, indent);
        }
        putchar('\n');
    }
}

// Groups as headed blocks, values as aligned "name value" lines.
void print_members(const JsonValue& obj, int indent)
{
    size_t width = 0;
    for (const auto& m : obj.members)
        if (m.second.kind != JsonValue::object && m.first.size() > width) width = m.first.size();
    for (const auto& m : obj.members) {
        if (m.second.kind == JsonValue::object) {
            printf("%*s%s\n", indent, "", m.first.c_str());
            print_members(m.second, indent + 2);
        } else if (m.second.kind == JsonValue::array && m.first == "workers") {
            printf("%*s%s\n", indent, "", m.first.c_str());
            print_workers(m.second, indent + 2);
        } else if (m.second.kind == JsonValue::array) {
            // A list of values (the watched mounts): one line, separated by spaces.
            printf("%*s%-*s ", indent, "", (int)width, m.first.c_str());
            for (const JsonValue& v : m.second.items) {
                putchar(' ');
                print_scalar(v, indent);
            }
            putchar('\n');
        } else {
            printf("%*s%-*s  ", indent, "", (int)width, m.first.c_str());
            print_scalar(m.second, indent);
            putchar('\n');
        }
    }
}

bool writer_alive(const JsonValue& snap)
{
    const JsonValue* pid = snap.find("pid");
    if (!pid || pid->kind != JsonValue::number || pid->num < 1) return false;
    if (kill((pid_t)pid->num, 0) != 0 && errno != EPERM) return false;
    // An agent that has exited but not been waited for is gone too.
    char path[64], line[512] = "";
    snprintf(path, sizeof path, "/proc/%.0f/stat", pid->num);
    FILE* f = fopen(path, "r");
    if (f && !fgets(line, sizeof line, f)) line[0] = '\0';
    if (f) fclose(f);
    const char* end_of_name = strrchr(line, ')');  // the name may hold ") "
    return !end_of_name || end_of_name[1] != ' ' || end_of_name[2] != 'Z';
}

int show(const std::string& path, bool json)
{
    std::string text;
    JsonValue snap;
    if (!read_file(path, text)) {
        fprintf(stderr, "acagent: no status snapshot at %s (is an agent running?)\n", path.c_str());
        return 1;
    }
    if (!parse_json(text, snap) || snap.kind != JsonValue::object) {
        fprintf(stderr, "acagent: %s is not a status snapshot\n", path.c_str());
        return 1;
    }
    if (!writer_alive(snap)) {
        const JsonValue* pid = snap.find("pid");
        fprintf(stderr, "acagent: stale status snapshot %s: its agent (pid %.0f) is gone\n", path.c_str(),
                pid ? pid->num : 0.0);
        return 1;
    }
    if (json)
        fputs(text.c_str(), stdout);
    else
        print_members(snap, 0);
    return 0;
}

}  // namespace

pid_t running_agent_pid(const char* arg)
{
    std::string path = find_snapshot(arg);
    std::string text;
    JsonValue snap;
    if (path.empty() || !read_file(path, text) || !parse_json(text, snap) || snap.kind != JsonValue::object ||
        !writer_alive(snap)) {
        fprintf(stderr, "acagent: no running agent found%s%s\n", path.empty() ? "" : " at ", path.c_str());
        return 0;
    }
    return (pid_t)snap.find("pid")->num;
}

int status_command(int argc, char** argv)
{
    static const option long_opts[] = {
        {"json", no_argument, nullptr, 'j'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool json = false;
    int opt;
    optind = 1;
    argv[0] = const_cast<char*>("acagent status");  // getopt's messages name it
    while ((opt = getopt_long(argc, argv, "h", long_opts, nullptr)) != -1) {
        switch (opt) {
        case 'j': json = true; break;
        case 'h': print_status_help(); return 0;
        default: fprintf(stderr, "Try 'acagent status --help' for more information.\n"); return 2;
        }
    }
    if (argc - optind > 1) {
        fprintf(stderr, "acagent status: one PID or PATH at most\nTry 'acagent status --help' for more information.\n");
        return 2;
    }
    std::string path = find_snapshot(optind < argc ? argv[optind] : nullptr);
    if (path.empty()) {
        fprintf(stderr, "acagent: no status snapshot in %s (is an agent running?)\n", status_dir);
        return 1;
    }
    return show(path, json);
}
