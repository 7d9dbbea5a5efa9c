// The fast path's performance work changes how results are computed, never
// what they are: each test runs the new code against the code it replaced
// (kept here as a reference) or against its documented equivalent.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/context.h"
#include "abstraction/counters.h"
#include "cache/drift.h"
#include "cache/object_cache.h"
#include "base/paths.h"
#include "cache/proc_info.h"
#include "cache/process_cache.h"
#include "cache/process_types.h"
#include "cache/sha256.h"
#include "base/event_record.h"
#include "lua/retrieval_lua.h"
#include "unit_util.h"

namespace {

// ---- Processes and files the events are about.

struct Files : TempDir {
    std::string dir = path, tool = dir + "/tool", blocked = dir + "/blocked", unrec = dir + "/unrec";
    std::string fresh = dir + "/fresh", script = dir + "/run.sh", data = dir + "/out.dat", new_sh = dir + "/new.sh";
    std::string log = dir + "/app.log";
    Files() : TempDir("fast")
    {
        std::string cmd = "cd '" + dir + "' && for f in tool blocked unrec fresh; do cp /usr/bin/true $f; done && "
                          "echo 'echo hi' > run.sh && echo notes > notes.txt && echo data > out.dat && echo 'echo new' "
                          "> new.sh && echo x > app.log && ln -s tool link && ln -s nowhere dangling && mkdir sub";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
};

// ---- The get pass: lazily cleared storage against storage zeroed whole.

ac_event_record record(uint32_t type, pid_t pid, int32_t fd, const std::string& name = "",
                       std::function<void(ac_event_record&)> more = nullptr)
{
    ac_event_record r;
    memset(&r, 0, sizeof r);
    r.type = type;
    r.pid = (uint32_t)pid;
    r.fd = fd;
    r.name_len = (uint32_t)name.size();
    memcpy(r.name, name.data(), name.size());
    if (more) more(r);
    return r;
}

// The process-wide counters, which only grow.
struct Counters {
    uint64_t events[AC_STAT_COUNT];
    uint64_t cache[AC_CACHE_STAT_COUNT];
    Counters() { EventAbstractionStats(events), CacheStats(cache); }
};

// What one pass produced, as text; the counters as changes since `before`.
std::string outcome(lua_State* L, int status, const lac_pass_storage& s, const Counters& before)
{
    std::string out = "status=" + std::to_string(status) + "\n";
    char hex[64];
    snprintf(hex, sizeof hex, "reply=%u/%u/%d/%lld\n", s.reply.reply, s.reply.id, s.reply.eta,
             (long long)s.reply.error);
    out += hex;
    if (status == 0 && lua_istable(L, -1)) {
        std::vector<std::string> fields;
        lua_pushnil(L);
        while (lua_next(L, -2)) {
            lua_pushvalue(L, -2);
            std::string key = lua_tostring(L, -1);
            lua_pop(L, 1);
            char num[64];
            size_t len = 0;
            const char* text = num;
            if (lua_type(L, -1) == LUA_TBOOLEAN)
                text = lua_toboolean(L, -1) ? "true" : "false", len = strlen(text);
            else if (lua_type(L, -1) == LUA_TNUMBER)
                len = (size_t)snprintf(num, sizeof num, "%.17g", lua_tonumber(L, -1));
            else
                text = lua_tolstring(L, -1, &len);
            fields.push_back(key + "=" + std::string(text, len));
            lua_pop(L, 1);
        }
        std::sort(fields.begin(), fields.end());
        for (const std::string& f : fields) out += "  " + f + "\n";
    }
    lua_settop(L, 0);
    // What the pass leaves in the shared tables.
    out += "processes=" + std::to_string(std::hash<std::string>()(
                              std::string(reinterpret_cast<const char*>(processes), sizeof processes))) + "\n";
    pthread_mutex_lock(&drift_lock);
    for (int i = 0; i < DRIFT_COUNTER_COUNT; i++) out += std::to_string(drift.counters[i]) + ",";
    out += "\n";
    for (uint64_t i = drift.tail; i != drift.head; i++) {
        const drift_entry& e = drift.ring[i & DRIFT_RING_MASK];
        out += "drift " + std::to_string(e.pid) + ":" + std::to_string(e.fd) + ":" + std::to_string(e.name_len) +
               ":" + (e.name ? std::string(e.name, (size_t)(e.name_len > 0 ? e.name_len : 0)) : "-") + "\n";
    }
    pthread_mutex_unlock(&drift_lock);
    Counters after;
    for (int i = 0; i < AC_STAT_COUNT; i++) out += std::to_string(after.events[i] - before.events[i]) + ",";
    for (int i = 0; i < AC_CACHE_STAT_COUNT; i++) out += std::to_string(after.cache[i] - before.cache[i]) + ",";
    return out + "\n";
}

struct Pass {
    int device[2];
    int ok = socketpair(AF_UNIX, SOCK_SEQPACKET, 0, device);
    lac_handle h{device[0], nullptr, 0, 0};
    lua_State* L = luaL_newstate();
    ~Pass() { lua_close(L), close(device[0]), close(device[1]); }
    // One record, sent as `size` bytes, through a pass whose storage holds `fill` in every byte.
    std::string run(const ac_event_record& r, const lac_get_options& opt, int fill, size_t size)
    {
        EXPECT_EQ(send(device[1], &r, size, 0), (ssize_t)size);
        std::unique_ptr<lac_pass_storage> s(new lac_pass_storage);
        memset(s.get(), fill, sizeof *s);
        lac_name_error err{};
        Counters before;
        int status = lac_get_pass(L, &h, &opt, &err, s.get());
        return outcome(L, status, *s, before);
    }
};

TEST(FastPathEquivalence, GetPassClearsWhatItReadsToTheSameEffectAsZeroingAll)
{
    lac_initialize();
    Files f;
    Child caller, shell;
    spawn(caller, {"sleep", "600"}, f.dir, {{5, f.tool}, {6, f.data}, {7, f.new_sh}, {8, f.log}}, "/usr/bin/sleep");
    spawn(shell, {"bash", "-c", "sleep 600; :"}, f.dir, {}, "/usr/bin/bash");
    if (HasFatalFailure()) return;
    pid_t c = caller.pid, sh = shell.pid, gone_pid = exited_pid();

    struct Step {
        ac_event_record r;
        size_t size;
    };
    std::vector<Step> steps;
    auto add = [&](ac_event_record r, size_t size = sizeof(ac_event_record)) { steps.push_back({r, size}); };
    const std::string execs[] = {f.tool, f.blocked, f.unrec, f.fresh, f.dir + "/missing", "link", "dangling"};
    for (const std::string& p : execs) add(record(EVENT_EXECVE_PRE, c, AC_FD_CWD, p));
    add(record(EVENT_EXECVE_PRE, gone_pid, AC_FD_CWD, f.tool));
    add(record(EVENT_EXECVE_PRE, getpid(), AC_FD_CWD, f.tool));  // the agent's own event
    add(record(EVENT_EXECVE_PRE, c, AC_FD_CWD, f.tool, [](ac_event_record& r) { r.name_len = NAME_FAULT; }));
    for (const char* name : {"run.sh", "notes.txt", "sub/../run.sh"}) add(record(EVENT_OPEN_PRE, sh, AC_FD_CWD, name));
    add(record(EVENT_OPEN_PRE, c, AC_FD_CWD, "run.sh"));
    auto open_post = [&](int fd, const std::string& name, uint32_t flags, int64_t rc) {
        return record(EVENT_OPEN_POST, c, fd, name, [=](ac_event_record& r) { r.flags = flags, r.rc = rc; });
    };
    add(open_post(6, f.data, O_WRONLY | O_CREAT | O_TRUNC, 6));
    add(open_post(7, f.new_sh, O_WRONLY | O_CREAT, 7));
    add(open_post(8, f.log, O_WRONLY, 8));
    add(open_post(8, "/tmp/x.sh", O_CREAT, 8));  // excluded location
    add(open_post(8, f.log, O_CREAT, -13));
    add(record(EVENT_CLOSE_PRE, c, 6));
    add(record(EVENT_CLOSE_PRE, c, 99));
    add(record(EVENT_DUP_PRE, c, 7, "", [](ac_event_record& r) { r.oldfd = 5; }));
    add(record(EVENT_DUP_POST, c, 7, "", [](ac_event_record& r) { r.oldfd = 5, r.rc = 7; }));
    add(open_post(7, f.new_sh, O_WRONLY | O_CREAT, 7));
    add(record(EVENT_CLOSE_PRE, c, 7));
    add(open_post(8, f.log, O_WRONLY | O_CREAT, 8));
    add(record(EVENT_CLOSE_PRE, c, 8));
    add(record(EVENT_CHMOD_PRE, c, AC_FD_CWD, "new.sh"));
    for (const char* name : {"new.sh", "notes.txt"}) add(record(EVENT_CHMOD_POST, c, AC_FD_CWD, name));
    add(record(EVENT_FCHMOD_POST, c, 7));
    add(record(EVENT_CHOWN_POST, c, AC_FD_CWD, f.log));
    add(record(EVENT_FCHOWN_POST, c, 8));
    add(record(EVENT_RENAME_POST, c, AC_FD_CWD, f.dir + "/renamed.sh", [&](ac_event_record& r) {
        r.oldname_len = (uint32_t)f.new_sh.size();
        memcpy(r.oldname, f.new_sh.data(), f.new_sh.size());
    }));
    add(record(EVENT_UNLINK_POST, c, AC_FD_CWD, f.dir + "/removed.py"));
    add(record(EVENT_UNLINK_POST, c, AC_FD_CWD, "x", [](ac_event_record& r) { r.rc = -2; }));
    add(record(EVENT_MMAP_PRE, c, 5, "", [](ac_event_record& r) { r.mode = 5; }));
    for (uint32_t type : {11u /* no route */, 99u /* out of range */, (uint32_t)EVENT_NULL}) add(record(type, c, 5));
    add(record(EVENT_EXECVE_PRE, c, AC_FD_CWD, f.tool), 64);  // a short record
    for (int i = 0; i < 300; i++) add(record(EVENT_CLOSE_PRE, c, 100 + i % 50));  // untracked: fresh filters

    std::string basedir = f.dir + "/";
    const lac_get_options options[] = {
        {1, 0, 0, "", 0, 0},
        {1, 1, 0, basedir.c_str(), 0, 0},
        {0, 1, 0, basedir.c_str(), 1, 0},
    };
    Pass pass;
    ASSERT_EQ(pass.ok, 0);
    // Every step from the same tables, through storage filled with `fill`.
    auto all_steps = [&](const lac_get_options& opt, int fill) {
        ClearCache(), DriftClear(), ClearProcessCache();
        AddToCache(f.tool.c_str(), AC_CACHE_APPROVED, nullptr);
        AddToCache(f.script.c_str(), AC_CACHE_APPROVED, nullptr);
        AddToCache(f.blocked.c_str(), AC_CACHE_BLOCK, "ruleset-1-2-3-4");
        AddToCache(f.unrec.c_str(), AC_CACHE_UNRECOGNIZED, nullptr);
        std::vector<std::string> out;
        for (const Step& s : steps) out.push_back(pass.run(s.r, opt, fill, s.size));
        return out;
    };
    for (const lac_get_options& opt : options) {
        const std::vector<std::string> zeroed = all_steps(opt, 0);
        for (int fill : {0xA5, 0xFF, 0x01}) {
            const std::vector<std::string> lazy = all_steps(opt, fill);
            for (size_t i = 0; i < zeroed.size(); i++)
                ASSERT_EQ(zeroed[i], lazy[i]) << "event " << i << " (type " << steps[i].r.type << "), fill " << fill
                                              << ", lockdown " << opt.lockdown;
        }
    }
    DriftClear(), ClearCache(), ClearProcessCache();
}

// ---- The interpreter-rule scan.

uint64_t scan_rule_by_rule(ac_decision_ctx* ctx)
{
    for (uint32_t i = 1; i < AC_INTERPRETER_RULE_COUNT; i++) {
        uint64_t type = ApplyInterpreterRule(ctx, &ScriptInterpreterRules[i]);
        if (type != AC_PROCESS_TYPE_NONE) {
            ctx->nocache = ProcessTypes[type].nocache;
            return type;
        }
    }
    return AC_PROCESS_TYPE_NORMAL;
}

TEST(FastPathEquivalence, InterpreterScanEqualsTheRulesAppliedOneByOne)
{
    std::vector<std::string> names = {
        "", "/", "sh", "/bin/sh", "/usr/bin/bash", "/usr/bin/dash", "/usr/bin/python3.11", "/usr/bin/perl",
        "/usr/sbin/prelink", "/usr/bin/prelink", "/x/prelink", "/opt/java/bin/java", "/a/javac", "/a/.java",
        "/a/x.java", "/a/java.x", "/a/kb890830.exe", "/a/KB890830.exe", "/a/mpam-fe.exe", "/a/sleep", "/a/tool.sh",
        "/a/b.c.d", "/a/...", "/a/.bash", "/a/bash.", "/a/cmd.exe", "/a/CMD.EXE", "/srv/x/httpd-2",
        "/usr/sbin/apache2", "/w/nginx", "/k/ksh93", "/k/tcsh", "/p/php-fpm8.2", "/s/sma_lsam.x", "/ie11-windows6.1",
        std::string(2000, 'j') + "ava", "/d/" + std::string(1100, 'x') + "python"};
    for (const auto& rule : ScriptInterpreterRules) {
        if (rule.name) names.push_back(std::string("/usr/bin/") + rule.name);
        if (rule.fragment) {
            names.push_back(std::string("/x/pre") + rule.fragment + "post.ext");
            names.push_back(std::string("/x/") + rule.fragment);
            names.push_back(std::string("/x/a.") + rule.fragment);
        }
    }
    for (const std::string& name : names) {
        ac_decision_ctx a{}, b{};
        ac_copy_path(a.processName, name.c_str());
        splitpath(a.processPath, a.processFileName, a.processName);
        memcpy(&b, &a, sizeof a);
        uint64_t want = scan_rule_by_rule(&a);
        EXPECT_EQ(GetProcessInterpreterType(&b), want) << name;
        EXPECT_EQ(b.nocache, a.nocache) << name;
    }
}

// ---- The command-line search.

bool on_command_line_with_fgets(uint64_t pid, const char* text)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/%lu/cmdline", (unsigned long)pid);
    FILE* f = fopen(name, "r");
    if (!f) return false;
    char line[1024];
    bool read = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    return read && line[0] != '\0' && strstr(line, text) != nullptr;
}

TEST(FastPathEquivalence, CommandLineSearchReadsTheFirstLineAsFgetsDid)
{
    Files f;
    Child plain, newline, long_arg, empty;
    std::string long_name = std::string(1500, 'a') + "tail";
    spawn(plain, {"sleep", "600"}, f.dir, {}, "/usr/bin/sleep");
    spawn(newline, {"sle\nep", "600"}, f.dir, {}, "/usr/bin/sleep");
    spawn(long_arg, {long_name, "600"}, f.dir, {}, "/usr/bin/sleep");
    spawn(empty, {"", "600"}, f.dir, {}, "/usr/bin/sleep");
    if (HasFatalFailure()) return;
    for (pid_t pid : {plain.pid, newline.pid, long_arg.pid, empty.pid, getpid(), (pid_t)999999999})
        for (const char* text : {"sleep", "sle", "ep", "\n", "600", "aaaa", "tail", "", "x", "sle\nep"})
            EXPECT_EQ(IsOnCommandLine((uint64_t)pid, text), on_command_line_with_fgets((uint64_t)pid, text))
                << "pid " << pid << " text '" << text << "'";
}

// ---- Path resolution.

// GetRealPath as it was, into a field its callers had zeroed.
void real_path_before(uint32_t pid, const char* name, int32_t dirfd, char* out, size_t n)
{
    char link[128];
    if (name[0] == '/')
        snprintf(link, sizeof link, "/proc/%d/root", (int)pid);
    else if (dirfd == AC_FD_CWD)
        snprintf(link, sizeof link, "/proc/%d/cwd", (int)pid);
    else
        snprintf(link, sizeof link, "/proc/%d/fd/%d", (int)pid, dirfd);
    char joined[8192];
    memset(joined, 0, sizeof joined);
    const char* text = nullptr;
    ssize_t len = readlink(link, joined, sizeof joined);
    if (len >= 0) {
        size_t name_len = strlen(name);
        text = name;
        if (len != 0 && (size_t)len + name_len < sizeof joined) {
            size_t at = (size_t)len;
            if (joined[at - 1] != '/') joined[at++] = '/';
            const char* rest = name[0] == '/' ? name + 1 : name;
            size_t rest_len = strlen(rest);
            if (at + rest_len < sizeof joined) {
                memcpy(joined + at, rest, rest_len + 1);
                text = joined;
            }
        }
    }
    if (!text) {
        char msg[256];
        snprintf(out, n, "readlink(\"%s\"): %s", link, strerror_r(errno, msg, sizeof msg));
        return;
    }
    char resolved[PATH_MAX] = {};
    realpath(text, resolved);
    memcpy(out, resolved, n < sizeof resolved ? n : sizeof resolved);
}

// GetRealPath writes the same field as before; the link readers read as readlink does.
TEST(FastPathEquivalence, RealPathAndLinkReadsAsBefore)
{
    Files f;
    Child caller;
    spawn(caller, {"sleep", "600"}, f.dir, {{5, f.tool}}, "/usr/bin/sleep");
    if (HasFatalFailure()) return;
    const std::string names[] = {f.tool, "tool", "link", "dangling", "sub/../run.sh", "missing", "sub/missing/x",
                                 f.dir + "//tool", "/", ".", "", "/proc/self", std::string(5000, 'x'),
                                 "sub/" + std::string(300, 'y')};
    // A pid above INT_MAX and a negative descriptor show how the link names
    // are written, in the error text of an unreadable link.
    for (uint32_t pid : {(uint32_t)caller.pid, (uint32_t)999999999, (uint32_t)-16})
        for (int32_t dirfd : {AC_FD_CWD, 5, 77, -5, INT32_MIN})
            for (const std::string& name : names) {
                std::vector<char> want(AC_PATH_MAX, 0), got(AC_PATH_MAX, (char)0xA5);
                real_path_before(pid, name.c_str(), dirfd, want.data(), want.size());
                GetRealPath(pid, name.c_str(), dirfd, got.data(), got.size());
                EXPECT_EQ(memcmp(want.data(), got.data(), want.size()), 0)
                    << "pid " << pid << " dirfd " << dirfd << " name " << name.substr(0, 80) << ": '" << want.data()
                    << "' against '" << std::string(got.data(), strnlen(got.data(), got.size())) << "'";
            }

    char got[AC_PATH_MAX] = {}, want[AC_PATH_MAX] = {};
    ASSERT_EQ(GetProcNameFromPid((unsigned long)caller.pid, got), 1);
    EXPECT_STREQ(got, "/usr/bin/sleep");
    EXPECT_EQ(GetProcNameFromPid(999999999ul, got), 0);
    for (int32_t fd : {5, AC_FD_CWD, 77}) {
        memset(got, 0, sizeof got), memset(want, 0, sizeof want);
        long n = GetFileNameFromPidAndFd(caller.pid, fd, got, sizeof got - 1);
        std::string link =
            "/proc/" + std::to_string(caller.pid) + (fd == AC_FD_CWD ? "/cwd" : "/fd/" + std::to_string(fd));
        EXPECT_EQ(n, (long)readlink(link.c_str(), want, sizeof want - 1)) << fd;
        EXPECT_STREQ(got, want) << fd;
    }
}

// ---- Hashing.

TEST(FastPathEquivalence, ObjectDigestIsEvpSha256)
{
    EXPECT_EQ(ac_sha256_uses_evp(), EVP_default_properties_is_fips_enabled(nullptr) ? 1 : 0);
    std::mt19937 rng(8);
    for (size_t len = 0; len < 300; len++) {
        std::string text(len, '\0');
        for (char& ch : text) ch = (char)(rng() & 0xFF);
        unsigned char want[EVP_MAX_MD_SIZE], got[32];
        unsigned int want_len = 0;
        ASSERT_EQ(EVP_Digest(text.data(), text.size(), want, &want_len, EVP_sha256(), nullptr), 1);
        ASSERT_EQ(ac_sha256(text.data(), text.size(), got), 32);
        EXPECT_EQ(memcmp(want, got, 32), 0) << "length " << len;
    }
}

}  // namespace
