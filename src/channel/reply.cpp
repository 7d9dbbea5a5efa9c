#include "channel/reply.h"

#include <sys/ioctl.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/limits.h"

namespace {

// A reply the driver never got leaves the operation waiting for the driver's
// own timeout: say so, without flooding the system log.
void report_lost_reply(const ac_reply_msg* msg, ac_decision_ctx* ctx, int err)
{
    char text[128];
    const char* why = strerror_r(err, text, sizeof text);
    AC_DEBUG(ctx, "reply to event %u failed: %s (%d)\n", msg->id, why, err);
    static std::atomic<time_t> last{0};
    time_t now = time(nullptr), then = last.load(std::memory_order_relaxed);
    if (now - then < AC_REPLY_LOG_INTERVAL || !last.compare_exchange_strong(then, now, std::memory_order_relaxed))
        return;
    syslog(LOG_ERR, "reply to event %u failed: %s (%d)", msg->id, why, err);
}

}  // namespace

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
    // The outcome changes nothing in the fast path's results; a passing
    // interruption is worth another try, anything else is reported.
    int err = lac_reply(h, msg);
    for (int i = 0; (err == EINTR || err == EAGAIN) && i < AC_REPLY_RETRIES; i++) err = lac_reply(h, msg);
    if (err > 0) report_lost_reply(msg, ctx, err);
    return 1;
}

}  // extern "C"
