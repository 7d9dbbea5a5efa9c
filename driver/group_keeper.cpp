// The keeper of the notification group.
//
// Why: a process blocked in a permission event raises the user_waits count of
// every group with a mark on the object, and releasing a group waits until
// that count is zero. Both groups mark the watched files, so a held exec pins
// the notification group until the permission group answers it, which it
// does only when it is released. A killed watcher drops both groups in its
// exit work, in an order the kernel chooses: notification group first, and
// the dying process waits for an answer only its own other group could give,
// while the exec waits for it. The keeper, a child that holds a duplicate of
// the notification group, takes that release into another task: the dying
// watcher releases the permission group (answering every pending event), and
// the keeper, seeing the end of its pipe, releases the notification group.
//
// The child only makes system calls through the C library's syscall (never
// through the interposed names, which may take locks another thread held at
// the fork). It opens and executes nothing, so it never raises a permission
// event the watcher would hold.
#include "group_keeper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "real_libc.h"

namespace drv::fan {
namespace {

pid_t g_pid = 0;   // start and stop run one at a time (the control lock)
int g_pipe = -1;   // the write end: its end-of-file ends the keeper

long sys(long nr, long a = 0, long b = 0, long c = 0, long d = 0) { return real::syscall(nr, a, b, c, d, 0, 0); }

// Closes [from, to]; descriptor by descriptor where close_range is missing.
void close_span(int from, long to, long open_max)
{
    if (from > to) return;
#ifdef SYS_close_range
    if (sys(SYS_close_range, from, to, 0) == 0) return;
#endif
    for (long fd = from; fd <= to && fd < open_max; fd++) sys(SYS_close, fd);
}

[[noreturn]] void keep(int notif_fd, int pipe_r, const sigset_t* all, long open_max)
{
    sys(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(all), 0, _NSIG / 8);  // pipe alone ends it
    int lo = notif_fd < pipe_r ? notif_fd : pipe_r, hi = notif_fd < pipe_r ? pipe_r : notif_fd;
    close_span(0, lo - 1, open_max);
    close_span(lo + 1, hi - 1, open_max);
    close_span(hi + 1, ~0U, open_max);
    char c;
    for (;;) {
        long r = sys(SYS_read, pipe_r, reinterpret_cast<long>(&c), 1);
        if (r == 0 || (r < 0 && errno != EINTR)) break;
    }
    for (;;) sys(SYS_exit_group, 0);
}

}  // namespace

int start_keeper(int notif_fd)
{
    int p[2];
    // Through real::syscall, which the child uses: resolved before the fork.
    if (sys(SYS_pipe2, reinterpret_cast<long>(p), O_CLOEXEC) != 0) return errno;
    sigset_t all;
    sigfillset(&all);
    long open_max = sysconf(_SC_OPEN_MAX);
    if (open_max < 0) open_max = 1024;
    pid_t pid = fork();
    if (pid == 0) keep(notif_fd, p[0], &all, open_max);
    int err = errno;
    real::close(p[0]);
    if (pid < 0) {
        real::close(p[1]);
        return err;
    }
    g_pid = pid;
    g_pipe = p[1];
    return 0;
}

void stop_keeper()
{
    if (g_pid <= 0) return;
    real::close(g_pipe);
    while (waitpid(g_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    g_pid = 0;
    g_pipe = -1;
}

}  // namespace drv::fan
