#include "log.h"

#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace drv::log {
namespace {

std::mutex g_mu;
RateLimit g_limit;

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// One write, so that lines of several threads do not mix.
void put(const char* text, int len)
{
    if (len <= 0) return;
    ssize_t w = write(2, text, (size_t)len);
    (void)w;  // nowhere to say that standard error failed
}

void put_dropped(uint64_t n)
{
    char text[64];
    if (n) put(text, snprintf(text, sizeof text, "acdriver: %llu lines not logged\n", (unsigned long long)n));
}

}  // namespace

bool RateLimit::admit(int64_t now_ms)
{
    if (now_ms >= end_) {
        end_ = now_ms + 1000;
        lines_ = 0;
    }
    if (lines_ >= kLinesPerSecond) {
        dropped_++;
        return false;
    }
    lines_++;
    return true;
}

uint64_t RateLimit::take_dropped(int64_t now_ms)
{
    if (now_ms < end_) return 0;
    uint64_t n = dropped_;
    dropped_ = 0;
    return n;
}

int64_t RateLimit::until_due(int64_t now_ms) const
{
    if (dropped_ == 0) return -1;
    return now_ms >= end_ ? 0 : end_ - now_ms;
}

void line(const char* fmt, ...)
{
    int64_t now = now_ms();
    uint64_t dropped;
    bool out;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        dropped = g_limit.take_dropped(now);
        out = g_limit.admit(now);
    }
    put_dropped(dropped);
    if (!out) return;
    char text[PATH_MAX + 256] = "acdriver: ";
    size_t at = sizeof "acdriver: " - 1;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text + at, sizeof text - at - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    at += (size_t)n < sizeof text - at - 1 ? (size_t)n : sizeof text - at - 2;
    text[at++] = '\n';
    put(text, (int)at);
}

int report_dropped()
{
    int64_t now = now_ms();
    uint64_t dropped;
    int64_t left;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        dropped = g_limit.take_dropped(now);
        left = g_limit.until_due(now);
    }
    put_dropped(dropped);
    return left > INT32_MAX ? INT32_MAX : (int)left;
}

}  // namespace drv::log
