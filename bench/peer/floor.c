/* The floor of the side-by-side benchmark: the least a fanotify permission
 * responder can do. Marks one mount for FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM
 * and allows every event as soon as it is read, nothing else.
 *
 *   peer_floor DIR    prints "ready" once the mark is in place; runs until
 *                     SIGTERM or SIGINT
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/fanotify.h>
#include <unistd.h>

static volatile sig_atomic_t stop;

static void on_signal(int sig)
{
    (void)sig;
    stop = 1;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: peer_floor DIR\n");
        return 2;
    }
    /* No SA_RESTART: the signal must end the blocking read. */
    struct sigaction sa = {.sa_handler = on_signal};
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    int fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fan < 0 || fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM,
                                 AT_FDCWD, argv[1]) != 0) {
        fprintf(stderr, "peer_floor: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    char buf[8192] __attribute__((aligned(__alignof__(struct fanotify_event_metadata))));
    while (!stop) {
        ssize_t n = read(fan, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        for (struct fanotify_event_metadata* m = (void*)buf; FAN_EVENT_OK(m, n); m = FAN_EVENT_NEXT(m, n)) {
            if (m->fd < 0) continue;
            if (m->mask & (FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM)) {
                struct fanotify_response r = {.fd = m->fd, .response = FAN_ALLOW};
                if (write(fan, &r, sizeof r) != sizeof r) perror("peer_floor: answer");
            }
            close(m->fd);
        }
    }
    close(fan);  /* the kernel allows whatever is still held */
    return 0;
}
