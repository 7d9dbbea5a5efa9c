#include "channel/command.h"

#include <sys/ioctl.h>

#include <cerrno>

extern "C" {

int lac_command(lac_handle* h, const void* cmd, size_t cmd_len, void* resp, uint32_t resp_size, uint32_t* resp_len)
{
    ac_command_args args{};
    args.cmd = (uint64_t)(uintptr_t)cmd;
    args.resp = (uint64_t)(uintptr_t)resp;
    args.cmd_len = (uint32_t)cmd_len;
    args.resp_size = resp_size;
    args.resp_len = 0;
    int r = ioctl(h->fd, AC_IOCTL_COMMAND, &args);
    *resp_len = args.resp_len;
    return r < 0 ? errno : r;
}

}  // extern "C"
