// The fanotify source's kept /proc descriptors: what they read is current,
// and a process that has gone is noticed rather than answered from the past.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <cstdio>

#include "driver/proc_identity.h"

using namespace drv::fan;

// The kernel's own count (a sanitizer runtime may start threads of its own).
int threads_now()
{
    FILE* f = fopen("/proc/self/status", "r");
    char line[256];
    int n = -1;
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "Threads: %d", &n) == 1) break;
    if (f) fclose(f);
    return n;
}

TEST(KeptProcess, ReadsCurrentIdentityAndThreads)
{
    ProcInfo p = kept_proc_info(getpid(), true);
    EXPECT_EQ(p.ppid, getppid());
    EXPECT_EQ(p.euid, geteuid());
    int before = p.threads;
    ASSERT_GE(before, 1);
    std::atomic<bool> done{false};
    std::thread t([&] {
        while (!done.load()) usleep(1000);
    });
    int now = kept_proc_info(getpid(), false).threads;  // read again, not remembered
    EXPECT_GT(now, before);
    EXPECT_EQ(now, threads_now());
    ProcInfo light = kept_proc_info(getpid(), true, true);
    EXPECT_EQ(light.threads, now);
    EXPECT_FALSE(light.complete);
    complete_info(&light);
    EXPECT_EQ(light.ppid, getppid());
    EXPECT_EQ(light.euid, geteuid());
    done = true;
    t.join();
    char root[64];
    ASSERT_EQ(proc_link(getpid(), "root", root, sizeof root), 1);
    EXPECT_EQ(root[0], '/');
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
    EXPECT_EQ(p.threads, 1);
    close(go[1]);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_EQ(kept_proc_info(child, true, true).threads, 0) << "its task directory is gone";
    p = kept_proc_info(child, true);
    EXPECT_EQ(p.ppid, 0);
    EXPECT_EQ(p.threads, 0);
    close(go[0]);
    forget_processes();
}
