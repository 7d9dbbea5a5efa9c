// Statistics variables: 128 numeric slots shared by every Lua state of the
// process, addressed by number or by a per-state name index.
#pragma once
#include <cstdint>

#define AC_STATS_COUNT 128
#define AC_STATS_INDEX_KEY "vyp.ac.stats.index"

struct ac_stats_var {
    double value;
    uint8_t set;  // 1 while the slot holds a value
};

extern "C" {
extern ac_stats_var statsVars[AC_STATS_COUNT];  // guarded by StatsCS
}
