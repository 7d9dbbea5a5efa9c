/* Real file operations for the live-mode tests, the demo and the latency
 * measurement: each is done by this process (never the engine's), and
 * reported on one line.
 *
 *   live_ops exec PATH [N [all]]      N runs of fork + execv(PATH) + wait
 *   live_ops open PATH [N [all]]      N runs of open(O_RDONLY) + close
 *   live_ops openw PATH [N [all]]     N runs of open(O_WRONLY | O_TRUNC) + close
 *   live_ops write PATH TEXT [MS]     create/truncate, write TEXT, close
 *   live_ops chmod PATH OCTAL [MS]
 *   live_ops rename FROM TO [MS]
 *   live_ops unlink PATH [MS]
 *
 * exec, open and openw print "ok N MEAN P50 P90 P99" (N runs; mean, median and
 * percentiles of the microseconds per run) or "error NAME" (the errno name
 * of the first failure, e.g. EPERM); with "all", the time of every run
 * follows, one a line, in the order of the runs. The others
 * print "ok" or "error NAME", then stay alive MS milliseconds (default 0), so
 * that the engine can still resolve this process from /proc when it reads the
 * record of a post event.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static int by_value(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static const char* errno_name(int e)
{
    switch (e) {
    case EPERM: return "EPERM";
    case EACCES: return "EACCES";
    case ENOENT: return "ENOENT";
    case ENOEXEC: return "ENOEXEC";
    case EINVAL: return "EINVAL";
    case EEXIST: return "EEXIST";
    default: return strerrorname_np(e) ? strerrorname_np(e) : "E?";
    }
}

static int fail(int e)
{
    printf("error %s\n", errno_name(e));
    return 1;
}

static void linger(int argc, char** argv, int at)
{
    fflush(stdout);
    if (argc > at) usleep((useconds_t)atoi(argv[at]) * 1000);
}

/* One fork + exec + wait; 0 or the errno of the failed exec. */
static int run_once(const char* path)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return errno;
    pid_t pid = fork();
    if (pid < 0) return errno;
    if (pid == 0) {
        char* argv[] = {(char*)path, NULL};
        execv(path, argv);
        int e = errno;
        ssize_t w = write(p[1], &e, sizeof e);
        (void)w;
        _exit(127);
    }
    close(p[1]);
    int e = 0;
    ssize_t n = read(p[0], &e, sizeof e);
    close(p[0]);
    int status;
    waitpid(pid, &status, 0);
    return n == (ssize_t)sizeof e ? e : 0;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: live_ops exec|open|write|chmod|rename|unlink ...\n");
        return 2;
    }
    const char* op = argv[1];
    const char* path = argv[2];
    if (strcmp(op, "exec") == 0 || strcmp(op, "open") == 0 || strcmp(op, "openw") == 0) {
        int n = argc > 3 ? atoi(argv[3]) : 1;
        if (n < 1) n = 1;
        int is_exec = op[0] == 'e';
        int flags = strcmp(op, "openw") == 0 ? O_WRONLY | O_TRUNC | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
        double* each = calloc((size_t)n, sizeof *each);
        if (!each) return fail(ENOMEM);
        double total = 0;
        for (int i = 0; i < n; i++) {
            double t0 = now_us();
            if (is_exec) {
                int e = run_once(path);
                if (e) return fail(e);
            } else {
                int fd = open(path, flags);
                if (fd < 0) return fail(errno);
                close(fd);
            }
            each[i] = now_us() - t0;
            total += each[i];
        }
        double* sorted = calloc((size_t)n, sizeof *sorted);
        if (!sorted) return fail(ENOMEM);
        memcpy(sorted, each, (size_t)n * sizeof *each);
        qsort(sorted, (size_t)n, sizeof *sorted, by_value);
        printf("ok %d %.2f %.2f %.2f %.2f\n", n, total / n, sorted[n / 2], sorted[n * 9 / 10], sorted[n * 99 / 100]);
        if (argc > 4 && strcmp(argv[4], "all") == 0)
            for (int i = 0; i < n; i++) printf("%.2f\n", each[i]);
        free(sorted);
        free(each);
        return 0;
    }
    if (strcmp(op, "write") == 0 && argc >= 4) {
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return fail(errno);
        size_t len = strlen(argv[3]);
        if (write(fd, argv[3], len) != (ssize_t)len) return fail(errno);
        if (close(fd) != 0) return fail(errno);
        printf("ok\n");
        linger(argc, argv, 4);
        return 0;
    }
    if (strcmp(op, "chmod") == 0 && argc >= 4) {
        if (chmod(path, (mode_t)strtol(argv[3], NULL, 8)) != 0) return fail(errno);
        printf("ok\n");
        linger(argc, argv, 4);
        return 0;
    }
    if (strcmp(op, "rename") == 0 && argc >= 4) {
        if (rename(path, argv[3]) != 0) return fail(errno);
        printf("ok\n");
        linger(argc, argv, 4);
        return 0;
    }
    if (strcmp(op, "unlink") == 0) {
        if (unlink(path) != 0) return fail(errno);
        printf("ok\n");
        linger(argc, argv, 3);
        return 0;
    }
    fprintf(stderr, "live_ops: unknown operation %s\n", op);
    return 2;
}
