// Event path and process resolution against a real child process, the debug
// dump, the process type index with its cache, and time conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "abstraction/resolution.h"
#include "cache/process_cache.h"
#include "unit_util.h"

namespace fs = std::filesystem;

namespace {

using resolver = int32_t (*)(ac_decision_ctx*, ac_reply_msg*);
const resolver all_resolvers[] = {SetProcGetRealPath, SetProcGetRealPathFromDirfd,
                                  SetProcGetRealPathFromDirfdAndOldname, SetProcGetFileNameFromPidAndFd};

// A context for an event, zeroed padding included (contexts are compared
// bytewise), with a reply record the resolvers must not write.
struct event_ctx {
    ac_event_info ev{};
    ac_decision_ctx ctx;
    ac_reply_msg reply;
    MemLog mem;
    event_ctx(pid_t pid, const char* name, int32_t fd = -100, int32_t dirfd = -100, const char* oldname = "")
    {
        memset(&ctx, 0, sizeof ctx);
        memset(&reply, 0xAB, sizeof reply);
        ev.type = 24, ev.pid = pid, ev.fd = fd, ev.dirfd = dirfd;
        snprintf(ev.name, sizeof ev.name, "%s", name);
        snprintf(ev.oldname, sizeof ev.oldname, "%s", oldname);
        ctx.event = &ev;
    }
    std::string log() { return mem.text(); }
    bool reply_untouched() const
    {
        ac_reply_msg r;
        memset(&r, 0xAB, sizeof r);
        return memcmp(&r, &reply, sizeof r) == 0;
    }
};

// A child working in a temporary tree, holding descriptors on "sub" and "data.bin".
struct Tree : TempDir {
    std::string root = fs::canonical(path).string();  // resolved, without final "/"
    Tree() : TempDir("resolution")
    {
        fs::create_directory(root + "/sub");
        for (const char* f : {"a.txt", "data.bin", "sub/b.txt", "sub/c.tar.gz", "sub/tool.manifestx"}) file(f);
    }
};

class ResolutionOfAChild : public ::testing::Test {
protected:
    Tree tree;
    const std::string& root = tree.root;
    Child child{{"sleep", "600"}, root, {{5, root + "/sub"}, {6, root + "/data.bin"}}};
};

}  // namespace

// Each resolver on names relative to the working directory, absolute, relative
// to a descriptor, from the old name, and read from a descriptor. The process
// fields hold the executable, or the target for the dirfd resolvers.
TEST_F(ResolutionOfAChild, ResolvesNamesOfTheChild)
{
    const std::string sub = root + "/sub/", abs = sub + "c.tar.gz", parent = fs::path(root).parent_path().string();
    const std::string bad = "readlink(\"/proc/" + std::to_string(child.pid) + "/fd/777\"): No such file or directory";
    const struct {
        resolver r;
        const char* name;
        int32_t fd, dirfd;
        const char* oldname;
        std::string realpath, path, file, ext, event_name;
    } cases[] = {
        {SetProcGetRealPath, "a.txt", -100, -100, "", root + "/a.txt", root + "/", "a.txt", "txt", "a.txt"},
        {SetProcGetRealPath, "sub/../sub/./b.txt", -100, -100, "", sub + "b.txt", sub, "b.txt", "txt",
         "sub/../sub/./b.txt"},
        {SetProcGetRealPath, abs.c_str(), 4242, -100, "", abs, sub, "c.tar.gz", "gz", abs},
        {SetProcGetRealPath, "b.txt", 5, -100, "", sub + "b.txt", sub, "b.txt", "txt", "b.txt"},
        {SetProcGetRealPath, "x.txt", 777, -100, "", bad, "", "", "", "x.txt"},
        {SetProcGetRealPathFromDirfd, "c.tar.gz", -1, 5, "", abs, sub, "c.tar.gz", "gz", "c.tar.gz"},
        {SetProcGetRealPathFromDirfdAndOldname, "a.txt", -1, 5, "tool.manifestx", sub + "tool.manifestx", sub,
         "tool.manifestx", "manifes", "a.txt"},  // at most 7 characters of extension
        {SetProcGetFileNameFromPidAndFd, "", 6, -100, "", root + "/data.bin", root + "/", "data.bin", "bin",
         root + "/data.bin"},  // the event is renamed
        {SetProcGetFileNameFromPidAndFd, "", -100, -100, "", root, parent + "/", fs::path(root).filename().string(), "",
         root},  // the working directory
        {SetProcGetFileNameFromPidAndFd, "old name", 999, -100, "", "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " fd " + std::to_string(c.fd) + " dirfd " + std::to_string(c.dirfd));
        event_ctx e(child.pid, c.name, c.fd, c.dirfd, c.oldname);
        EXPECT_EQ(c.r(&e.ctx, &e.reply), 0);
        EXPECT_EQ(e.ctx.pid, child.pid);
        EXPECT_STREQ(e.ctx.processName, "/usr/bin/sleep") << "the executable in every case";
        EXPECT_EQ(e.ctx.realpath, c.realpath);
        if (c.realpath != bad) {
            EXPECT_EQ(std::string(e.ctx.path) + "|" + e.ctx.fileName + "|" + e.ctx.fileExtension,
                      c.path + "|" + c.file + "|" + c.ext);
        }
        const bool target = c.r == SetProcGetRealPathFromDirfd || c.r == SetProcGetRealPathFromDirfdAndOldname;
        EXPECT_EQ(e.ctx.processPath + ("|" + std::string(e.ctx.processFileName)),
                  target ? c.path + "|" + c.file : "/usr/bin/|sleep");
        EXPECT_EQ(e.ev.name, c.event_name);
        EXPECT_TRUE(e.reply_untouched());
    }
    // The debug dump after a resolution; an already resolved context is left alone, without a dump.
    event_ctx e(child.pid, "a.txt");
    e.ctx.debugLog = e.mem.f;
    EXPECT_EQ(SetProcGetRealPath(&e.ctx, &e.reply), 0);
    EXPECT_EQ(e.log(), "PID: " + std::to_string(child.pid) + "\nTYPE: 24\nRLPATH: " + root +
                           "/a.txt\nProcName: /usr/bin/sleep\nPATH: /usr/bin/\nFileName: sleep\nExtension: txt\n");
    for (resolver r : all_resolvers) {
        event_ctx pre(999999999, "a.txt");  // a pid that would give 11 if /proc were read
        strcpy(pre.ctx.processName, "/preset/tool");
        strcpy(pre.ctx.realpath, "/preset/file");
        pre.ctx.debugLog = pre.mem.f;
        ac_decision_ctx before = pre.ctx;
        EXPECT_EQ(r(&pre.ctx, &pre.reply), 0);
        before.pid = 999999999;
        EXPECT_EQ(memcmp(&before, &pre.ctx, sizeof before), 0) << "only the pid is set";
        EXPECT_EQ(pre.log(), "");
    }
}

TEST(Resolution, ExitedProcessGives11AndLeavesTheContextEmpty)
{
    const pid_t gone = exited_pid();
    for (resolver r : all_resolvers) {
        event_ctx e(gone, "/etc/hostname", -100, -100, "/etc/hostname");
        ac_decision_ctx want;
        memset(&want, 0, sizeof want);
        want.event = &e.ev;
        want.pid = gone;
        EXPECT_EQ(r(&e.ctx, &e.reply), 11);
        EXPECT_EQ(memcmp(&want, &e.ctx, sizeof want), 0) << "only the pid is set";
        EXPECT_STREQ(e.ev.name, "/etc/hostname");
        EXPECT_TRUE(e.reply_untouched());
    }
    event_ctx e(-5, "");
    EXPECT_EQ(SetProcGetRealPath(&e.ctx, nullptr), 11);
    EXPECT_EQ(e.ctx.pid, -5) << "sign-extended";
    e.ctx.pid = -1, e.ev.type = 3;
    procDebug(&e.ctx);  // without a log: must not touch a stream
    e.ctx.debugLog = e.mem.f;
    procDebug(&e.ctx);
    EXPECT_EQ(e.log(), "PID: 18446744073709551615\nTYPE: 3\nRLPATH: \nProcName: \nPATH: \nFileName: \nExtension: \n");
}

// Classified once and cached when an interpreter; a normal process is
// classified each time and never stored.
TEST(Resolution, ProcessTypeIndexClassifiesOnceAndCachesOnlyInterpreters)
{
    ClearProcessCache();
    const struct {
        int64_t pid;
        const char *file, *real;
        int32_t type;
        uint64_t hits, adds, misses;
    } steps[] = {{777001, "python3", "/srv/x.py", 3, 0, 1, 1}, {777001, "python3", "/srv/y.py", 3, 1, 0, 0},
                 {777002, "zsh", "/home/u/notes", 1, 0, 0, 1}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.real);
        uint64_t before[AC_PROC_STAT_COUNT], after[AC_PROC_STAT_COUNT];
        ProcCacheStats(before);
        event_ctx e(0, "");
        e.ctx.pid = s.pid;
        strcpy(e.ctx.processPath, "/usr/bin/");
        strcpy(e.ctx.processFileName, s.file);
        strcpy(e.ctx.realpath, s.real);
        e.ctx.processTypeIndex = 99;
        EXPECT_EQ(getProcessTypeIndex(&e.ctx), s.type);
        EXPECT_EQ(e.ctx.processTypeIndex, s.type >= 2 ? (uint64_t)s.type : 0u);
        ProcCacheStats(after);
        EXPECT_EQ(after[AC_PROC_HIT] - before[AC_PROC_HIT], s.hits);
        EXPECT_EQ(after[AC_PROC_ADD] - before[AC_PROC_ADD], s.adds);
        EXPECT_EQ(after[AC_PROC_MISS] - before[AC_PROC_MISS], s.misses);
    }
    EXPECT_EQ(GetProcess(777001, "python3"), 3u);
    EXPECT_EQ(processes[777002 & AC_PROC_SLOT_MASK].pid, 0u);
}

TEST(Resolution, TimeToMillis)
{
    // Ten digits are seconds, eleven to thirteen milliseconds, more microseconds.
    const std::pair<int64_t, uint64_t> times[] = {
        {0, 0}, {9999999999, 9999999999000u}, {10000000000, 10000000000u}, {9999999999999, 9999999999999u},
        {10000000000000, 10000000000u}, {INT64_MAX, (uint64_t)(INT64_MAX / 1000)}, {-1, (uint64_t)-1000},
        {INT64_MIN, (uint64_t)INT64_MIN * 1000u}};
    for (auto [in, want] : times) EXPECT_EQ(convertTimeToMillis(in), want) << in;
}
