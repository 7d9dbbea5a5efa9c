#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "abstraction/resolution.h"
#include "cache/process_cache.h"

namespace fs = std::filesystem;

namespace {

std::string self_exe()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, (size_t)n);
}

void touch(const std::string& path) { close(open(path.c_str(), O_CREAT | O_WRONLY, 0644)); }

// A temporary tree and a child process that works in it: its working directory
// is the tree's root, and it holds a descriptor on the directory "sub" and one
// on the file "data.bin". It waits until the test ends.
class ResolutionOfAChild : public ::testing::Test {
protected:
    std::string root;  // resolved, without final "/"
    pid_t child = -1;
    int child_dirfd = -1, child_filefd = -1;
    int hold = -1;  // closing it releases the child

    void SetUp() override
    {
        char templ[] = "/tmp/resolutionXXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root = fs::canonical(templ).string();
        fs::create_directory(root + "/sub");
        for (const char* f : {"a.txt", "data.bin", "sub/b.txt", "sub/c.tar.gz", "sub/tool.manifestx", "sub/noext"})
            touch(root + "/" + f);

        int report[2], wait_pipe[2];
        ASSERT_EQ(pipe(report), 0);
        ASSERT_EQ(pipe(wait_pipe), 0);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(report[0]);
            close(wait_pipe[1]);
            int fds[2] = {-1, -1};
            if (chdir(root.c_str()) == 0) {
                fds[0] = open("sub", O_RDONLY | O_DIRECTORY);
                fds[1] = open("data.bin", O_RDONLY);
            }
            if (write(report[1], fds, sizeof fds) != (ssize_t)sizeof fds) _exit(1);
            char c;
            while (read(wait_pipe[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(report[1]);
        close(wait_pipe[0]);
        hold = wait_pipe[1];
        int fds[2];
        ASSERT_EQ(read(report[0], fds, sizeof fds), (ssize_t)sizeof fds);
        close(report[0]);
        child_dirfd = fds[0];
        child_filefd = fds[1];
        ASSERT_GE(child_dirfd, 0);
        ASSERT_GE(child_filefd, 0);
    }

    void TearDown() override
    {
        if (hold >= 0) close(hold);
        if (child > 0) waitpid(child, nullptr, 0);
        if (!root.empty()) fs::remove_all(root);
    }

    // A zeroed context for an event of the child.
    struct event_ctx {
        ac_event_info ev{};
        ac_decision_ctx ctx{};
        ac_reply_msg reply{};
        event_ctx(pid_t pid, const char* name, int32_t fd, int32_t dirfd)
        {
            memset(&ctx, 0, sizeof ctx);  // padding too: contexts are compared bytewise
            ev.type = 24;
            ev.pid = pid;
            ev.fd = fd;
            ev.dirfd = dirfd;
            snprintf(ev.name, sizeof ev.name, "%s", name);
            ctx.event = &ev;
            memset(&reply, 0xAB, sizeof reply);
        }
        bool reply_untouched() const
        {
            ac_reply_msg r;
            memset(&r, 0xAB, sizeof r);
            return memcmp(&r, &reply, sizeof r) == 0;
        }
    };

    std::unique_ptr<event_ctx> event(const char* name, int32_t fd = -100, int32_t dirfd = -100)
    {
        return std::make_unique<event_ctx>(child, name, fd, dirfd);
    }

    void expect_process_is_self(const ac_decision_ctx& ctx)
    {
        fs::path exe = self_exe();
        EXPECT_EQ(std::string(ctx.processName), exe.string());
        EXPECT_EQ(std::string(ctx.processPath), exe.parent_path().string() + "/");
        EXPECT_EQ(std::string(ctx.processFileName), exe.filename().string());
    }
};

using resolver = int32_t (*)(ac_decision_ctx*, ac_reply_msg*);
const resolver all_resolvers[] = {SetProcGetRealPath, SetProcGetRealPathFromDirfd,
                                  SetProcGetRealPathFromDirfdAndOldname, SetProcGetFileNameFromPidAndFd};

std::string capture(FILE* f, char*& buf, size_t& len)
{
    fflush(f);
    return std::string(buf, len);
}

}  // namespace

TEST_F(ResolutionOfAChild, RelativeNameResolvesThroughTheWorkingDirectory)
{
    auto e = event("a.txt");
    EXPECT_EQ(SetProcGetRealPath(&e->ctx, &e->reply), 0);
    EXPECT_EQ(e->ctx.pid, child);
    expect_process_is_self(e->ctx);
    EXPECT_EQ(std::string(e->ctx.realpath), root + "/a.txt");
    EXPECT_EQ(std::string(e->ctx.path), root + "/");
    EXPECT_STREQ(e->ctx.fileName, "a.txt");
    EXPECT_STREQ(e->ctx.fileExtension, "txt");
    EXPECT_STREQ(e->ev.name, "a.txt") << "the event's name is left as it was";
    EXPECT_TRUE(e->reply_untouched());

    auto up = event("sub/../sub/./b.txt");
    EXPECT_EQ(SetProcGetRealPath(&up->ctx, &up->reply), 0);
    EXPECT_EQ(std::string(up->ctx.realpath), root + "/sub/b.txt");
}

TEST_F(ResolutionOfAChild, AbsoluteNameResolvesThroughTheRoot)
{
    std::string name = root + "/sub/c.tar.gz";
    auto e = event(name.c_str(), 4242);
    EXPECT_EQ(SetProcGetRealPath(&e->ctx, &e->reply), 0);
    EXPECT_EQ(std::string(e->ctx.realpath), name);
    EXPECT_EQ(std::string(e->ctx.path), root + "/sub/");
    EXPECT_STREQ(e->ctx.fileName, "c.tar.gz");
    EXPECT_STREQ(e->ctx.fileExtension, "gz");
}

TEST_F(ResolutionOfAChild, NameRelativeToTheEventDescriptor)
{
    auto e = event("b.txt", child_dirfd);
    EXPECT_EQ(SetProcGetRealPath(&e->ctx, &e->reply), 0);
    EXPECT_EQ(std::string(e->ctx.realpath), root + "/sub/b.txt");
    expect_process_is_self(e->ctx);
}

TEST_F(ResolutionOfAChild, DirfdResolverDescribesTheTargetInTheProcessFields)
{
    auto e = event("c.tar.gz", -1, child_dirfd);
    EXPECT_EQ(SetProcGetRealPathFromDirfd(&e->ctx, &e->reply), 0);
    EXPECT_EQ(std::string(e->ctx.processName), self_exe()) << "still the executable";
    EXPECT_EQ(std::string(e->ctx.realpath), root + "/sub/c.tar.gz");
    EXPECT_EQ(std::string(e->ctx.processPath), root + "/sub/");
    EXPECT_STREQ(e->ctx.processFileName, "c.tar.gz");
    EXPECT_EQ(std::string(e->ctx.path), root + "/sub/");
    EXPECT_STREQ(e->ctx.fileName, e->ctx.processFileName);
    EXPECT_STREQ(e->ctx.fileExtension, "gz");
    EXPECT_TRUE(e->reply_untouched());

    auto cwd = event("sub/noext", -1, -100);
    EXPECT_EQ(SetProcGetRealPathFromDirfd(&cwd->ctx, &cwd->reply), 0);
    EXPECT_EQ(std::string(cwd->ctx.realpath), root + "/sub/noext");
    EXPECT_STREQ(cwd->ctx.fileExtension, "");
}

TEST_F(ResolutionOfAChild, OldnameResolverUsesTheOldName)
{
    auto e = event("a.txt", -1, child_dirfd);
    snprintf(e->ev.oldname, sizeof e->ev.oldname, "%s", "tool.manifestx");
    EXPECT_EQ(SetProcGetRealPathFromDirfdAndOldname(&e->ctx, &e->reply), 0);
    EXPECT_EQ(std::string(e->ctx.realpath), root + "/sub/tool.manifestx");
    EXPECT_STREQ(e->ctx.processFileName, "tool.manifestx");
    EXPECT_STREQ(e->ctx.fileName, "tool.manifestx");
    EXPECT_STREQ(e->ctx.fileExtension, "manifes") << "at most 7 characters";
    EXPECT_STREQ(e->ev.name, "a.txt");
}

TEST_F(ResolutionOfAChild, DescriptorResolverReadsTheDescriptorAndRenamesTheEvent)
{
    auto e = event("", child_filefd);
    EXPECT_EQ(SetProcGetFileNameFromPidAndFd(&e->ctx, &e->reply), 0);
    expect_process_is_self(e->ctx);
    EXPECT_EQ(std::string(e->ctx.realpath), root + "/data.bin");
    EXPECT_EQ(std::string(e->ev.name), root + "/data.bin");
    EXPECT_EQ(std::string(e->ctx.path), root + "/");
    EXPECT_STREQ(e->ctx.fileName, "data.bin");
    EXPECT_STREQ(e->ctx.fileExtension, "bin");
    EXPECT_TRUE(e->reply_untouched());

    auto cwd = event("", -100);
    EXPECT_EQ(SetProcGetFileNameFromPidAndFd(&cwd->ctx, &cwd->reply), 0);
    EXPECT_EQ(std::string(cwd->ctx.realpath), root) << "the working directory";
    EXPECT_EQ(std::string(cwd->ctx.fileName), fs::path(root).filename().string());

    auto closed = event("old name", 999);
    EXPECT_EQ(SetProcGetFileNameFromPidAndFd(&closed->ctx, &closed->reply), 0);
    EXPECT_STREQ(closed->ctx.realpath, "");
    EXPECT_STREQ(closed->ev.name, "") << "an unreadable link leaves the name empty";
    EXPECT_STREQ(closed->ctx.fileName, "");
}

TEST_F(ResolutionOfAChild, UnreadableAnchorLeavesTheErrorTextAsThePath)
{
    auto e = event("x.txt", 777);
    EXPECT_EQ(SetProcGetRealPath(&e->ctx, &e->reply), 0);
    std::string want = "readlink(\"/proc/" + std::to_string(child) + "/fd/777\"): No such file or directory";
    EXPECT_EQ(std::string(e->ctx.realpath), want);
}

TEST_F(ResolutionOfAChild, AlreadyResolvedContextIsLeftAlone)
{
    for (resolver r : all_resolvers) {
        auto e = event("a.txt");
        e->ev.pid = 999999999;  // would give 11 if /proc were read
        strcpy(e->ctx.processName, "/preset/tool");
        strcpy(e->ctx.realpath, "/preset/file");
        ac_decision_ctx before = e->ctx;
        EXPECT_EQ(r(&e->ctx, &e->reply), 0);
        EXPECT_EQ(e->ctx.pid, 999999999);
        before.pid = 999999999;
        EXPECT_EQ(memcmp(&before, &e->ctx, sizeof before), 0);
        EXPECT_STREQ(e->ev.name, "a.txt");
    }
}

TEST(Resolution, ExitedProcessGives11AndLeavesTheContextEmpty)
{
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    for (resolver r : all_resolvers) {
        ac_event_info ev{};
        ev.pid = gone;
        ev.fd = -100;
        ev.dirfd = -100;
        strcpy(ev.name, "/etc/hostname");
        strcpy(ev.oldname, "/etc/hostname");
        ac_decision_ctx ctx, want;
        memset(&ctx, 0, sizeof ctx);
        memset(&want, 0, sizeof want);
        ctx.event = &ev;
        ac_reply_msg reply{};
        EXPECT_EQ(r(&ctx, &reply), 11);
        want.event = &ev;
        want.pid = gone;
        EXPECT_EQ(memcmp(&want, &ctx, sizeof want), 0) << "only the pid is set";
        EXPECT_STREQ(ev.name, "/etc/hostname");
    }
    ac_event_info ev{};
    ev.pid = -5;
    ac_decision_ctx ctx{};
    ctx.event = &ev;
    EXPECT_EQ(SetProcGetRealPath(&ctx, nullptr), 11);
    EXPECT_EQ(ctx.pid, -5) << "sign-extended";
}

TEST_F(ResolutionOfAChild, DebugDumpAfterResolution)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* log = open_memstream(&buf, &len);
    auto e = event("a.txt");
    e->ctx.debugLog = log;
    EXPECT_EQ(SetProcGetRealPath(&e->ctx, &e->reply), 0);
    fs::path exe = self_exe();
    std::string want = "PID: " + std::to_string(child) + "\nTYPE: 24\nRLPATH: " + root +
                       "/a.txt\nProcName: " + exe.string() + "\nPATH: " + exe.parent_path().string() +
                       "/\nFileName: " + exe.filename().string() + "\nExtension: txt\n";
    EXPECT_EQ(capture(log, buf, len), want) << "written and flushed";

    // Nothing more once the context is resolved.
    EXPECT_EQ(SetProcGetRealPathFromDirfd(&e->ctx, &e->reply), 0);
    EXPECT_EQ(capture(log, buf, len), want);
    fclose(log);
    free(buf);
}

TEST(Resolution, ProcDebugWritesNothingWithoutALog)
{
    ac_event_info ev{};
    ac_decision_ctx ctx{};
    ctx.event = &ev;
    procDebug(&ctx);  // must not touch a stream
    char* buf = nullptr;
    size_t len = 0;
    ctx.debugLog = open_memstream(&buf, &len);
    ctx.pid = -1;
    ev.type = 3;
    procDebug(&ctx);
    fclose(ctx.debugLog);
    EXPECT_EQ(std::string(buf, len),
              "PID: 18446744073709551615\nTYPE: 3\nRLPATH: \nProcName: \nPATH: \nFileName: \nExtension: \n");
    free(buf);
}

namespace {

struct typed_ctx {
    ac_event_info ev{};
    ac_decision_ctx ctx{};
    char* buf = nullptr;
    size_t len = 0;
    typed_ctx(int64_t pid, const char* dir, const char* file, const char* real)
    {
        ctx.event = &ev;
        ctx.pid = pid;
        strcpy(ctx.processPath, dir);
        strcpy(ctx.processFileName, file);
        strcpy(ctx.realpath, real);
        ctx.debugLog = open_memstream(&buf, &len);
    }
    ~typed_ctx()
    {
        fclose(ctx.debugLog);
        free(buf);
    }
    std::string log() { return capture(ctx.debugLog, buf, len); }
};

uint64_t counter(ac_proc_stat s)
{
    uint64_t all[AC_PROC_STAT_COUNT];
    ProcCacheStats(all);
    return all[s];
}

}  // namespace

TEST(Resolution, ProcessTypeIndexClassifiesOnceAndCaches)
{
    ClearProcessCache();
    typed_ctx first(777001, "/usr/bin/", "python3", "/srv/x.py");
    EXPECT_EQ(getProcessTypeIndex(&first.ctx), 3);
    EXPECT_EQ(first.ctx.processTypeIndex, 3u);
    EXPECT_EQ(first.log(),
              "Process cache miss under python3 for /srv/x.py\n"
              "Determined processTypeIndex 3 under python3 for /srv/x.py\n"
              "Add ProcessTypeIndex 3 to cache under python3 for /srv/x.py\n");
    EXPECT_EQ(GetProcess(777001, "python3"), 3u);

    uint64_t hits = counter(AC_PROC_HIT), adds = counter(AC_PROC_ADD);
    typed_ctx again(777001, "/usr/bin/", "python3", "/srv/y.py");
    EXPECT_EQ(getProcessTypeIndex(&again.ctx), 3);
    EXPECT_EQ(again.ctx.processTypeIndex, 3u);
    EXPECT_EQ(again.log(), "Retrieve ProcessTypeIndex 3 from cache under python3 for /srv/y.py\n");
    EXPECT_EQ(counter(AC_PROC_HIT), hits + 1);
    EXPECT_EQ(counter(AC_PROC_ADD), adds) << "a hit stores nothing";
}

TEST(Resolution, NormalProcessIsNotCachedAndClassifiedEachTime)
{
    ClearProcessCache();
    for (int round = 0; round < 2; round++) {
        uint64_t adds = counter(AC_PROC_ADD), misses = counter(AC_PROC_MISS);
        typed_ctx c(777002, "/bin/", "zsh", "/home/u/notes");
        c.ctx.processTypeIndex = 99;
        EXPECT_EQ(getProcessTypeIndex(&c.ctx), 1);
        EXPECT_EQ(c.ctx.processTypeIndex, 0u);
        EXPECT_EQ(c.log(), "Process cache miss under zsh for /home/u/notes\n"
                           "/home/u/notes miss on interpreter table\n");
        EXPECT_EQ(counter(AC_PROC_ADD), adds);
        EXPECT_EQ(counter(AC_PROC_MISS), misses + 1);
    }
    EXPECT_EQ(processes[777002 & AC_PROC_SLOT_MASK].pid, 0u);
}

TEST_F(ResolutionOfAChild, ProcessTypeIndexOfARealProcess)
{
    ClearProcessCache();
    auto e = event("a.txt");
    ASSERT_EQ(SetProcGetRealPath(&e->ctx, &e->reply), 0);
    EXPECT_EQ(getProcessTypeIndex(&e->ctx), 1) << "the test binary is no interpreter";
    EXPECT_EQ(e->ctx.processTypeIndex, 0u);

    // The same process seen as a shell is stored under its pid.
    strcpy(e->ctx.processPath, "/bin/");
    strcpy(e->ctx.processFileName, "sh");
    EXPECT_EQ(getProcessTypeIndex(&e->ctx), 7);
    EXPECT_EQ(GetProcess((uint64_t)child, "sh"), 7u);
    EXPECT_EQ(processes[(uint64_t)child & AC_PROC_SLOT_MASK].pid, (uint64_t)child);
}

TEST(Resolution, ConvertTimeToMillis)
{
    EXPECT_EQ(convertTimeToMillis(0), 0u);
    EXPECT_EQ(convertTimeToMillis(1700000000), 1700000000000u) << "seconds";
    EXPECT_EQ(convertTimeToMillis(9999999999), 9999999999000u) << "ten digits are seconds";
    EXPECT_EQ(convertTimeToMillis(10000000000), 10000000000u) << "eleven digits are milliseconds";
    EXPECT_EQ(convertTimeToMillis(1700000000123), 1700000000123u);
    EXPECT_EQ(convertTimeToMillis(9999999999999), 9999999999999u) << "thirteen nines are milliseconds";
    EXPECT_EQ(convertTimeToMillis(10000000000000), 10000000000u) << "microseconds";
    EXPECT_EQ(convertTimeToMillis(1700000000123456), 1700000000123u);
    EXPECT_EQ(convertTimeToMillis(INT64_MAX), (uint64_t)(INT64_MAX / 1000));
    EXPECT_EQ(convertTimeToMillis(-1), (uint64_t)-1000);
    EXPECT_EQ(convertTimeToMillis(INT64_MIN), (uint64_t)INT64_MIN * 1000u);
}

TEST(Resolution, CurrentModeBitsDoNotFollowLinks)
{
    char templ[] = "/tmp/modebitsXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    std::string dir = templ;
    std::string file = dir + "/f", link = dir + "/l", missing = dir + "/missing";
    touch(file);
    chmod(file.c_str(), 0640);
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);

    char* buf = nullptr;
    size_t len = 0;
    ac_decision_ctx ctx{};
    ctx.debugLog = open_memstream(&buf, &len);
    EXPECT_EQ(getCurrentModeBits(&ctx, file.c_str()), (mode_t)(S_IFREG | 0640));
    EXPECT_TRUE(S_ISLNK(getCurrentModeBits(&ctx, link.c_str())));
    EXPECT_TRUE(S_ISDIR(getCurrentModeBits(&ctx, dir.c_str())));
    EXPECT_EQ(capture(ctx.debugLog, buf, len), "");
    EXPECT_EQ(getCurrentModeBits(&ctx, missing.c_str()), 0u);
    EXPECT_EQ(capture(ctx.debugLog, buf, len), "Error getting attributes of file " + missing + ": Failed stat\n");
    fclose(ctx.debugLog);
    free(buf);

    ac_decision_ctx quiet{};
    EXPECT_EQ(getCurrentModeBits(&quiet, missing.c_str()), 0u);
    fs::remove_all(dir);
}
