/* Real file operations for the latency measurement and the live-mode tests,
 * done by this process (never the engine's), reported on one line.
 *
 *   live_ops exec|open|openw PATH [N [all]]   N runs of fork + execv + wait, of
 *       open(O_RDONLY) + close, of open(O_WRONLY | O_TRUNC) + close; prints
 *       "ok N MEAN P50 P90 P99" (microseconds per run) and, with "all", every
 *       run's time one a line in order
 *   live_ops write PATH TEXT [MS]
 *       prints "ok", then stays alive MS milliseconds (default 0) so that the
 *       engine can still resolve this process when it reads the close
 *
 * A failure prints "error NAME" (the errno name of the first one, e.g. EPERM).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

static int fail(int e)
{
    printf("error %s\n", strerrorname_np(e) ? strerrorname_np(e) : "E?");
    return 1;
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
        if (write(p[1], &e, sizeof e) < 0) _exit(126);
        _exit(127);
    }
    close(p[1]);
    int e = 0;
    ssize_t n = read(p[0], &e, sizeof e);
    close(p[0]);
    waitpid(pid, NULL, 0);
    return n == (ssize_t)sizeof e ? e : 0;
}

static int timed(const char* op, int argc, char** argv)
{
    int n = argc > 3 && atoi(argv[3]) > 1 ? atoi(argv[3]) : 1;
    int flags = strcmp(op, "openw") == 0 ? O_WRONLY | O_TRUNC | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
    double *each = calloc((size_t)n, sizeof *each), *sorted = calloc((size_t)n, sizeof *sorted), total = 0;
    if (!each || !sorted) return fail(ENOMEM);
    for (int i = 0; i < n; i++) {
        double t0 = now_us();
        int fd = op[0] == 'e' ? -run_once(argv[2]) : open(argv[2], flags);
        if (fd < 0) return fail(op[0] == 'e' ? -fd : errno);
        if (op[0] != 'e') close(fd);
        total += each[i] = now_us() - t0;
    }
    memcpy(sorted, each, (size_t)n * sizeof *each);
    qsort(sorted, (size_t)n, sizeof *sorted, by_value);
    printf("ok %d %.2f %.2f %.2f %.2f\n", n, total / n, sorted[n / 2], sorted[n * 9 / 10], sorted[n * 99 / 100]);
    for (int i = 0; argc > 4 && strcmp(argv[4], "all") == 0 && i < n; i++) printf("%.2f\n", each[i]);
    return 0;
}

int main(int argc, char** argv)
{
    const char* op = argc >= 3 ? argv[1] : "";
    if (!strcmp(op, "exec") || !strcmp(op, "open") || !strcmp(op, "openw")) return timed(op, argc, argv);
    if (strcmp(op, "write") != 0 || argc < 4) {
        fprintf(stderr, "usage: live_ops exec|open|openw|write ...\n");
        return 2;
    }
    int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    size_t len = strlen(argv[3]);
    int rc = fd < 0 || write(fd, argv[3], len) != (ssize_t)len ? -1 : close(fd);
    if (rc != 0) return fail(errno);
    printf("ok\n");
    fflush(stdout);
    if (argc > 4) usleep((useconds_t)atoi(argv[4]) * 1000);
    return 0;
}
