#include "channel/device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>


extern "C" {

void profiler_none(void) {}
std::atomic<lac_profiler_fn> profiler_start{profiler_none};
std::atomic<lac_profiler_fn> profiler_end{profiler_none};

int load_module(const char* path)
{
    // Not blocking in open (a FIFO), and only a regular file is handed on.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno;
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : !S_ISREG(st.st_mode) ? EINVAL : 0;
    if (!err) err = syscall(SYS_finit_module, fd, "", 0) == 0 ? 0 : errno;
    close(fd);
    return err;
}

int unload_module(const char* name)
{
    return syscall(SYS_delete_module, name, O_NONBLOCK) == 0 ? 0 : errno;
}

int device_major(FILE* stream)
{
    FILE* f = stream ? stream : fopen(LAC_PROC_DEVICES, "r");
    if (!f) return 0;
    char line[128];
    int major = 0;
    while (!major && fgets(line, sizeof line, f)) {
        if (!strstr(line, LAC_DRIVER_MODULE)) continue;
        const char* p = line;
        while (*p == ' ' || *p == '\t') p++;
        if (*p >= '0' && *p <= '9') major = (int)strtol(p, nullptr, 10);
    }
    fclose(f);
    return major;
}

int make_node(int major) { return mknod(LAC_DEVICE_NODE, S_IFCHR, makedev(major, 0)) == 0 ? 0 : errno; }

int lac_open_device(lac_handle* h)
{
    bool node_made = false;
    for (;;) {
        h->fd = open(LAC_DEVICE_NODE, O_RDWR | O_CLOEXEC);
        if (h->fd >= 0) return 0;
        int err = errno;
        if (err != ENOENT || node_made) return err;
        int major = device_major(nullptr);
        if (!major) return ENOENT;
        int made = make_node(major);
        if (made && made != EEXIST) return ENOENT;
        node_made = true;
    }
}

int lac_close_device(lac_handle* h) { return close(h->fd) == 0 ? 0 : errno; }

}  // extern "C"
