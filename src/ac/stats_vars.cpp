#include "ac/stats_vars.h"

extern "C" {

ac_stats_var statsVars[AC_STATS_COUNT];

}  // extern "C"
