// The fanotify source's kept /proc descriptors: what they read is current,
// and a process that has gone is noticed rather than answered from the past.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/openat2.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/file_names.h"
#include "driver/proc_identity.h"

using namespace drv::fan;

// Reads one pid written by a child into fd.
pid_t read_pid(int fd)
{
    pid_t pid = 0;
    return read(fd, &pid, sizeof pid) == (ssize_t)sizeof pid ? pid : 0;
}

TEST(KeptProcess, ReadsTheCurrentParent)
{
    // A grandchild whose parent exits is handed to us (a subreaper): a kept
    // entry must show the new parent, not the one it first read.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int up[2], hold[2];
    ASSERT_EQ(pipe(up), 0);
    ASSERT_EQ(pipe(hold), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(hold[1]);
        pid_t grandchild = fork();
        if (grandchild == 0) {
            char c;
            (void)!read(hold[0], &c, 1);  // until the test closes its end
            _exit(0);
        }
        (void)!write(up[1], &grandchild, sizeof grandchild);
        char c;
        (void)!read(hold[0], &c, 1);
        _exit(0);
    }
    close(up[1]);
    close(hold[0]);
    pid_t grandchild = read_pid(up[0]);
    ASSERT_GT(grandchild, 0);
    ProcInfo p = kept_proc_info(grandchild, true);
    EXPECT_EQ(p.ppid, child);
    EXPECT_EQ(p.euid, geteuid());
    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_EQ(kept_proc_info(grandchild, false).ppid, getpid());  // read again, not remembered
    ProcInfo later;
    later.pid = grandchild;
    later.complete = false;
    complete_info(&later);
    EXPECT_EQ(later.ppid, getpid());
    char root[64];
    ASSERT_EQ(proc_link(grandchild, "root", root, sizeof root), 1);
    EXPECT_EQ(root[0], '/');
    close(hold[1]);
    EXPECT_EQ(waitpid(grandchild, nullptr, 0), grandchild);
    close(up[0]);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    forget_processes();
}

TEST(KeptProcess, GoneProcessIsNotAnsweredFromTheCache)
{
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(go[1]);
        char c;
        (void)!read(go[0], &c, 1);
        _exit(0);
    }
    ProcInfo p = kept_proc_info(child, true);
    EXPECT_EQ(p.ppid, getpid());
    close(go[1]);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    p = kept_proc_info(child, true);
    EXPECT_EQ(p.ppid, 0);
    close(go[0]);
    forget_processes();
}

// A child blocked opening a FIFO (no peer yet) until the parent opens its
// end; by openat2 when how2 (its flags in memory, not in a register).
pid_t blocked_opener(const char* fifo, int flags, bool how2)
{
    pid_t child = fork();
    if (child != 0) return child;
    struct open_how how = {};
    how.flags = (uint64_t)flags;
    long fd = how2 ? syscall(SYS_openat2, AT_FDCWD, fifo, &how, sizeof how) : open(fifo, flags);
    _exit(fd >= 0 ? 0 : 1);
}

Call call_when_blocked(pid_t pid, pid_t* tid, uint32_t* flags)
{
    uint32_t mode = 0;
    Call c = Call::unknown;
    for (int i = 0; i < 2000 && c != Call::open; i++, usleep(1000)) c = open_call(pid, tid, flags, &mode);
    return c;
}

TEST(KeptProcess, OpenCallGivesTheOpenersFlagsWhileItWaits)
{
    char fifo[] = "/tmp/ac_open_call_XXXXXX";
    ASSERT_NE(mkdtemp(fifo), nullptr);
    std::string path = std::string(fifo) + "/f";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const struct {
        int flags;
        bool how2;
    } openers[] = {{O_RDONLY, false}, {O_WRONLY | O_APPEND, false}, {O_WRONLY | O_CLOEXEC, true}};
    for (auto o : openers) {
        const int flags = o.flags;
        pid_t child = blocked_opener(path.c_str(), flags, o.how2);
        ASSERT_GT(child, 0);
        pid_t tid = 0;
        uint32_t got = 0;
        ASSERT_EQ(call_when_blocked(child, &tid, &got), Call::open);
        EXPECT_EQ(tid, child);
        EXPECT_EQ(got & (O_ACCMODE | O_APPEND | O_CLOEXEC), (uint32_t)flags);
        int peer = open(path.c_str(), (flags & O_ACCMODE) == O_RDONLY ? O_WRONLY : O_RDONLY);
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0);
        close(peer);
        // Gone: its kept file no longer reads, and nothing is made up.
        EXPECT_EQ(open_call(child, &tid, &got, &got), Call::unknown);
    }
    unlink(path.c_str());
    rmdir(fifo);
    forget_processes();
}

TEST(FileNames, NameInTheProcesssRootOnly)
{
    if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
    char dir[] = "/tmp/acrootXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string root = dir;
    int ready[2], hold[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(hold[1]);
        char c = chroot(dir) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(hold[0], &c, 1);
        _exit(0);
    }
    close(hold[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    std::string name;
    EXPECT_TRUE(name_for(child, root + "/etc/x", &name));
    EXPECT_EQ(name, "/etc/x");
    EXPECT_TRUE(name_for(child, root, &name));
    EXPECT_EQ(name, "/");
    EXPECT_FALSE(name_for(child, root + "x/y", &name));  // shares the root's text, not its folder
    EXPECT_FALSE(name_for(child, "/etc/passwd", &name));
    EXPECT_TRUE(name_for(getpid(), "/etc/passwd", &name));
    EXPECT_EQ(name, "/etc/passwd");
    close(hold[1]);
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_FALSE(name_for(child, "/etc/passwd", &name));  // gone: no root to read
    close(ready[0]);
    close(ready[1]);
    rmdir(dir);
    forget_processes();
}
