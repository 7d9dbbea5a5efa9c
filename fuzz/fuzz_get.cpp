// get over records of random bytes from the simulated driver.
//
// The simulated driver (libvavasim) is linked into this program ahead of the
// C library, as if preloaded: the engine opens /dev/qnvyac and reads records
// through it. Each input is a series of records pushed to one open handle,
// most of them made to look like driver records (a real event type, the pid
// of a live helper process, a name of one of its files), then read by
// handle:get in Lua, with fuzzed options, until the handle is empty. The
// records then go through resolution against /proc, the object cache, the
// process classifier, the drift tracker, the fresh-filter exchange and the
// event table. Each input starts from an empty process cache and drift
// tracker, then tracks up to a ring's worth of descriptors of its choosing
// (of the helper, of processes that have gone, of this process), and may
// start one close short of the fresh-filter exchange.
//
// Checked beyond the sanitizers: get reads every record (the handle is empty
// afterwards), and the fast path sends at most one reply per record, each a
// valid code for the id of a record that was read (or the all-zero reply sent
// when the acting process has gone).
//
// The helper is a shell (classified as an interpreter) started once, in a
// directory of its own under /dev/shm, holding some of its files open. The
// object cache knows three of them. The log mode is fuzzed too; the two logs
// have fixed paths under /var/opt/vy_agent, which this program's fopen sends
// to /dev/null, so that every line is formatted and nothing accumulates.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cache/drift.h"
#include "cache/object_cache.h"
#include "cache/process_cache.h"
#include "base/event_record.h"
#include "fuzz_common.h"
#include "machine.h"

// The engine's logs go to /dev/null; every other file to the C library (or
// the simulated driver, for /proc/devices).
extern "C" FILE* fopen(const char* path, const char* mode)
{
    using fopen_fn = FILE* (*)(const char*, const char*);
    static fopen_fn next = reinterpret_cast<fopen_fn>(dlsym(RTLD_NEXT, "fopen"));
    if (path && strncmp(path, "/var/opt/vy_agent/", 18) == 0) path = "/dev/null";
    return next(path, mode);
}

namespace {

struct world {
    lua_State* L = nullptr;
    int handle_ref = LUA_NOREF;
    std::string dir;
    pid_t helper = 0;
    std::vector<std::string> names;
};

void write_file(const std::string& path, const char* text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) abort();
    if (write(fd, text, strlen(text)) < 0) abort();
    close(fd);
    chmod(path.c_str(), mode);
}

// A shell waiting in the work directory with descriptors 3 to 7 open. It
// reads its standard input, a pipe whose other end only this process holds,
// so it ends with this process and starts nothing of its own.
pid_t start_helper(const std::string& dir)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) abort();
    pid_t pid = fork();
    if (pid < 0) abort();
    if (pid > 0) {
        close(p[0]);  // p[1] stays open for the life of the fuzzer
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int null = open("/dev/null", O_WRONLY);
    if (dup2(p[0], 0) < 0 || null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(1);
    struct {
        int fd;
        const char* name;
        int flags;
    } opens[] = {
        {3, "/run.sh", O_WRONLY | O_APPEND}, {4, "/app.log", O_WRONLY | O_APPEND},
        {5, "/tool", O_RDONLY},              {6, "/script.py", O_RDONLY},
        {7, "", O_RDONLY | O_DIRECTORY},
    };
    for (auto& o : opens) {
        int fd = open((dir + o.name).c_str(), o.flags);
        if (fd < 0 || dup2(fd, o.fd) < 0) _exit(1);
        if (fd != o.fd) close(fd);
    }
    if (chdir(dir.c_str()) != 0) _exit(1);
    execl("/bin/sh", "sh", "-c", "read x", (char*)nullptr);
    _exit(1);
}

std::string g_dir;  // removed at exit

void remove_dir()
{
    if (g_dir.empty()) return;
    std::string cmd = "rm -rf '" + g_dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "fuzz_get: could not remove %s\n", g_dir.c_str());
}

world& the_world()
{
    static world* w = [] {
        auto* w = new world;
        char tmpl[] = "/dev/shm/acfuzz-get.XXXXXX";  // not under /tmp/: that is an excluded location
        if (!mkdtemp(tmpl)) abort();
        w->dir = g_dir = tmpl;
        atexit(remove_dir);
        write_file(w->dir + "/tool", "#!/bin/sh\nexit 0\n", 0755);
        write_file(w->dir + "/run.sh", "#!/bin/sh\n", 0755);
        write_file(w->dir + "/script.py", "print(1)\n", 0644);
        write_file(w->dir + "/app.log", "log\n", 0644);
        write_file(w->dir + "/empty", "", 0644);
        mkdir((w->dir + "/sub").c_str(), 0755);
        w->helper = start_helper(w->dir);
        // Names a record may carry: the helper's files, relative and odd ones.
        for (const char* n : {"/tool", "/run.sh", "/script.py", "/app.log", "/empty", "/sub", "/sub/../tool"})
            w->names.push_back(w->dir + n);
        for (const char* n : {"tool", "run.sh", "./script.py", "../", "/usr/bin/true", "/bin/sh", "/proc/self/exe",
                              "/dev/null", "/tmp/x.sh", "", "/"})
            w->names.push_back(n);
        w->names.push_back(std::string(1023, 'a'));
        w->names.push_back("/" + std::string(1022, 'b'));

        AddToCache((w->dir + "/tool").c_str(), AC_CACHE_APPROVED, nullptr);
        AddToCache((w->dir + "/script.py").c_str(), AC_CACHE_BLOCK, "ruleset-1-2-3-4");
        AddToCache((w->dir + "/run.sh").c_str(), AC_CACHE_UNRECOGNIZED, nullptr);

        w->L = fuzz::new_state();
        sim::reset();
        sim::Setup s;
        s.hook = s.driver = s.node = 1;
        sim::setup(s);
        lua_State* L = w->L;
        lua_getglobal(L, "lacdc");
        lua_getfield(L, -1, "open");
        if (lua_pcall(L, 0, 1, 0) != LUA_OK || !lua_isuserdata(L, -1)) {
            fprintf(stderr, "fuzz_get: cannot open the simulated device: %s\n", lua_tostring(L, -1));
            abort();
        }
        w->handle_ref = luaL_ref(L, LUA_REGISTRYINDEX);
        lua_settop(L, 0);
        return w;
    }();
    return *w;
}

constexpr size_t kPidAt = offsetof(ac_event_record, pid);
constexpr size_t kTypeAt = offsetof(ac_event_record, type);
constexpr size_t kFdAt = offsetof(ac_event_record, fd);
constexpr size_t kOldfdAt = offsetof(ac_event_record, oldfd);
constexpr size_t kRcAt = offsetof(ac_event_record, rc);
constexpr size_t kFlagsAt = offsetof(ac_event_record, flags);

template <typename T>
void put(std::string& rec, size_t at, T v)
{
    memcpy(&rec[at], &v, sizeof v);
}

// The handled event types, and a few others, to pick from.
constexpr uint32_t kTypes[] = {
    EVENT_DUP_PRE,    EVENT_DUP_POST,    EVENT_OPEN_PRE,     EVENT_OPEN_POST,     EVENT_CHMOD_PRE,
    EVENT_CHMOD_POST, EVENT_FCHMOD_PRE,  EVENT_FCHMOD_POST,  EVENT_CLOSE_PRE,     EVENT_EXECVE_PRE,
    EVENT_RENAME_POST, EVENT_CHOWN_PRE,  EVENT_CHOWN_POST,   EVENT_LCHOWN_POST,   EVENT_FCHOWN_POST,
    EVENT_FCHOWNAT_POST, EVENT_UNLINK_POST, EVENT_UNLINKAT_POST, EVENT_MMAP_PRE,  EVENT_MMAP_POST,
    EVENT_WRITE_PRE,  EVENT_NULL,        TYPE_PROC_START,    AC_EVENT_TYPE_COUNT,
};

std::string make_record(FuzzedDataProvider& in, const world& w)
{
    uint8_t how = in.ConsumeIntegral<uint8_t>();
    std::string rec = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, AC_EVENT_RECORD_SIZE + 64));
    if (!(how & 0x80)) return rec;  // the raw bytes as they are
    if (rec.size() < AC_EVENT_RECORD_SIZE) rec.resize(AC_EVENT_RECORD_SIZE, '\0');
    put<uint32_t>(rec, kTypeAt, kTypes[in.ConsumeIntegralInRange<size_t>(0, sizeof kTypes / sizeof kTypes[0] - 1)]);
    switch (how & 3) {
    case 0: put<uint32_t>(rec, kPidAt, (uint32_t)w.helper); break;
    case 1: put<uint32_t>(rec, kPidAt, (uint32_t)getppid()); break;
    case 2: put<uint32_t>(rec, kPidAt, (uint32_t)getpid()); break;  // the engine's own: filtered out
    default: break;                                                  // whatever the bytes say
    }
    if (how & 4) {
        static const int32_t fds[] = {AC_FD_CWD, 3, 4, 5, 6, 7, 0, -1, 1 << 30};
        put<int32_t>(rec, kFdAt, fds[in.ConsumeIntegralInRange<size_t>(0, sizeof fds / sizeof fds[0] - 1)]);
        put<int32_t>(rec, kOldfdAt, fds[in.ConsumeIntegralInRange<size_t>(0, sizeof fds / sizeof fds[0] - 1)]);
        put<int64_t>(rec, kRcAt, in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int64_t>(-2, 8));
        put<uint32_t>(rec, kFlagsAt, in.ConsumeBool() ? 0x241 : in.ConsumeIntegral<uint32_t>());
    }
    auto set_name = [&](size_t field, size_t len_at) {
        const std::string& n = w.names[in.ConsumeIntegralInRange<size_t>(0, w.names.size() - 1)];
        size_t len = n.size() < AC_NAME_FIELD ? n.size() : AC_NAME_FIELD;
        memset(&rec[field], 0, AC_NAME_FIELD);
        memcpy(&rec[field], n.data(), len);
        uint32_t given = (uint32_t)len;
        if (how & 0x40) given = in.ConsumeBool() ? NAME_FAULT : in.ConsumeIntegral<uint32_t>();
        put<uint32_t>(rec, len_at, given);
    };
    if (how & 8) set_name(offsetof(ac_event_record, name), offsetof(ac_event_record, name_len));
    if (how & 0x10) set_name(offsetof(ac_event_record, oldname), offsetof(ac_event_record, oldname_len));
    return rec;
}

// handle:get(0, ac_on, lockdown, logMode, basedir, maintenanceMode, startTime)
// under pcall; false once the handle has nothing more to give.
bool get_one(lua_State* L, const world& w, int ac_on, int lockdown, int log_mode, const std::string& basedir,
             int maintenance, lua_Number start)
{
    lua_settop(L, 0);
    lua_rawgeti(L, LUA_REGISTRYINDEX, w.handle_ref);
    lua_getfield(L, 1, "get");
    lua_pushvalue(L, 1);
    lua_pushinteger(L, 0);
    lua_pushinteger(L, ac_on);
    lua_pushinteger(L, lockdown);
    lua_pushinteger(L, log_mode);
    lua_pushlstring(L, basedir.data(), basedir.size());
    lua_pushinteger(L, maintenance);
    lua_pushnumber(L, start);
    if (fuzz::pcall(L, 8) != LUA_OK) return true;  // a refused record (a name too long): read, go on
    if (lua_istable(L, 2)) return true;
    // nil, code, message: a timeout means the handle is empty.
    FUZZ_CHECK(lua_isnil(L, 2));
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    world& w = the_world();
    lua_State* L = w.L;
    FuzzedDataProvider in(data, size);

    DriftClear();
    ClearProcessCache();
    if (in.ConsumeBool()) {
        // Close to the untracked-close limit, so that the fresh-filter exchange runs.
        drift_lock_guard lock;
        drift.counters[DRIFT_dirt] = DRIFT_DIRT_LIMIT - 1;
    }
    // Entries already tracked, up to a full ring (whose next open makes room:
    // a scan for dead processes or the loss of the oldest entry), for the
    // helper, for processes that have gone and for this one.
    unsigned tracked = in.ConsumeIntegralInRange(0, (int)DRIFT_RING_SIZE + 2);
    for (unsigned i = 0; i < tracked; i++) {
        static const uint32_t dead = 0x3FFFFFF0;  // above any pid_max: never alive
        uint32_t pids[] = {(uint32_t)w.helper, dead + (i & 7), (uint32_t)getpid()};
        DriftOpen(pids[in.ConsumeIntegralInRange(0, 2)], in.ConsumeIntegralInRange(0, 9));
    }
    int ac_on = in.ConsumeIntegralInRange(0, 2);
    int lockdown = in.ConsumeIntegralInRange(0, 2);
    int maintenance = in.ConsumeIntegralInRange(0, 2);
    int log_mode = in.ConsumeIntegralInRange(0, 2);
    lua_Number start = in.ConsumeBool() ? 0 : (lua_Number)in.ConsumeIntegral<uint64_t>();
    std::string basedir;
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: break;
    case 1: basedir = w.dir; break;
    case 2: basedir = "/nowhere;;" + w.dir + "/sub;/usr"; break;
    default: basedir = in.ConsumeRandomLengthString(64); break;
    }

    unsigned records = in.ConsumeIntegralInRange(1, 12);
    std::vector<uint32_t> ids;
    for (unsigned i = 0; i < records; i++) {
        std::string rec = make_record(in, w);
        FUZZ_CHECK(sim::push(0, rec.data(), rec.size()) == 0);
        uint32_t id = 0;  // what the engine reads: the record's bytes, zero beyond its end
        if (rec.size() > offsetof(ac_event_record, id))
            memcpy(&id, rec.data() + offsetof(ac_event_record, id),
                   std::min(sizeof id, rec.size() - offsetof(ac_event_record, id)));
        ids.push_back(id);
    }
    // Every get reads at least one record or ends with a timeout.
    for (unsigned i = 0; i <= records; i++)
        if (!get_one(L, w, ac_on, lockdown, log_mode, basedir, maintenance, start)) break;
    FUZZ_CHECK(!get_one(L, w, ac_on, lockdown, log_mode, basedir, maintenance, start));  // nothing left behind

    // The fast path answers an event at most once (Lua answers nothing here),
    // with the id of an event it read, or with the all-zero reply it sends
    // when the acting process has gone.
    std::vector<sim::Reply> replies = sim::take_replies();
    FUZZ_CHECK(replies.size() <= records);
    for (const sim::Reply& r : replies) {
        if (r.reply == 0 && r.id == 0 && r.eta == 0 && r.error == 0) continue;
        FUZZ_CHECK(r.reply >= 1 && r.reply <= 5);
        FUZZ_CHECK(std::find(ids.begin(), ids.end(), r.id) != ids.end());
    }
    sim::take_commands();
    lua_settop(L, 0);
    static unsigned runs;
    if (++runs % 256 == 0) lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}
