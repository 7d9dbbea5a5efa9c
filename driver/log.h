// Lines on standard error about what the driver answered on its own (a
// deadline, a permissive denial): at most kLinesPerSecond a second, then one
// line saying how many were not logged.
#pragma once
#include <cstdint>

namespace drv::log {

constexpr int kLinesPerSecond = 10;

// The limit, by windows of one second that start with a line.
class RateLimit {
public:
    // Whether a line at now_ms goes out.
    bool admit(int64_t now_ms);
    // The lines not logged, once their window is over (0 before, and after
    // this has returned them once).
    uint64_t take_dropped(int64_t now_ms);
    // Milliseconds until take_dropped has something to return; -1: never.
    int64_t until_due(int64_t now_ms) const;

private:
    int64_t end_ = INT64_MIN;
    int lines_ = 0;
    uint64_t dropped_ = 0;
};

// "acdriver: " and the formatted text, one line.
void line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Says how many lines were not logged once their second is over; returns the
// milliseconds until it has to be called again (-1: no need).
int report_dropped();

}  // namespace drv::log
