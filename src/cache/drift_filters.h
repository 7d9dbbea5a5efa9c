// Filters around the drift tracker: the fresh file filter the driver is given
// when too many untracked closes arrive, and the two quick filters that decide
// whether a changed file may be executable content.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/context.h"

constexpr size_t AC_FRESH_FILTER_SIZE = 84;
constexpr size_t AC_FILTER_REPLY_MIN = 20;
constexpr uint32_t AC_FILTER_BITMAP_BYTES = 32;

#pragma pack(push, 1)
struct ac_fresh_filter {
    char command[16];  // "\"setfilefilter\"" and a NUL
    uint32_t id;
    uint8_t pids[AC_FILTER_BITMAP_BYTES];
    uint8_t fds[AC_FILTER_BITMAP_BYTES];
};
#pragma pack(pop)
static_assert(sizeof(ac_fresh_filter) == AC_FRESH_FILTER_SIZE, "fresh filter record size");

extern "C" {
// 0 with the record filled; -1 with the error text (at most errsize bytes).
int DriftFreshFilter(const char* reply, size_t len, ac_fresh_filter* out, char* err, size_t errsize);
int quickDriftFilter(ac_decision_ctx* ctx);
int quickIMFilter(ac_decision_ctx* ctx);

}
