/* Storms of the side-by-side benchmark: NPROC processes each repeat one
 * operation on PATH for SECONDS and the total is reported.
 *
 *   peer_storm exec|open|openw PATH SECONDS NPROC
 *       exec: fork + execv + wait; open: open(O_RDONLY) + close;
 *       openw: open(O_WRONLY | O_TRUNC) + close. Prints "ok OPS OPS_PER_S",
 *       or "error NAME" for the first failure.
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

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* One operation; 0 or an errno. */
static int once(char op, const char* path)
{
    if (op == 'e') {
        pid_t pid = fork();
        if (pid < 0) return errno;
        if (pid == 0) {
            char* argv[] = {(char*)path, NULL};
            execv(path, argv);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 127 ? ENOEXEC : 0;
    }
    int fd = open(path, op == 'w' ? O_WRONLY | O_TRUNC | O_CLOEXEC : O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

int main(int argc, char** argv)
{
    const char* kind = argc == 5 ? argv[1] : "";
    char op = !strcmp(kind, "exec") ? 'e' : !strcmp(kind, "open") ? 'r' : !strcmp(kind, "openw") ? 'w' : 0;
    double seconds = argc == 5 ? atof(argv[3]) : 0;
    int nproc = argc == 5 ? atoi(argv[4]) : 0;
    if (!op || seconds <= 0 || nproc < 1 || nproc > 64) {
        fprintf(stderr, "usage: peer_storm exec|open|openw PATH SECONDS NPROC\n");
        return 2;
    }
    int p[2];
    if (pipe(p) != 0) return 1;
    double end = now_s() + seconds;
    for (int i = 0; i < nproc; i++) {
        if (fork() == 0) {
            /* Two numbers per worker: operations done, first errno. */
            long n = 0, err = 0;
            while (!err && now_s() < end) {
                err = once(op, argv[2]);
                if (!err) n++;
            }
            long out[2] = {n, err};
            _exit(write(p[1], out, sizeof out) == sizeof out ? 0 : 1);
        }
    }
    close(p[1]);
    long total = 0, err = 0, out[2];
    double t0 = end - seconds;
    while (read(p[0], out, sizeof out) == sizeof out) {
        total += out[0];
        if (out[1] && !err) err = out[1];
    }
    while (wait(NULL) > 0) {}
    double took = now_s() - t0;
    if (err) {
        printf("error %s\n", strerrorname_np((int)err) ? strerrorname_np((int)err) : "E?");
        return 1;
    }
    printf("ok %ld %.0f\n", total, total / took);
    return 0;
}
