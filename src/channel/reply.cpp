#include "channel/reply.h"

#include <sys/ioctl.h>

#include <cerrno>

extern "C" {

int lac_reply(lac_handle* h, const ac_reply_msg* msg)
{
    int r = ioctl(h->fd, AC_IOCTL_REPLY, msg);
    return r == -1 ? errno : r;
}

int ac_reply(lac_handle* h, const ac_reply_msg* msg, ac_decision_ctx* ctx)
{
    if (!msg) return 0;
    ctx->bind_action = msg->reply;
    lac_reply(h, msg);  // the driver's answer changes nothing in the fast path
    return 1;
}

}  // extern "C"
