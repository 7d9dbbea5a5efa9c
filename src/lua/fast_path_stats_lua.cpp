#include "lua/fast_path_stats_lua.h"

#include "abstraction/counters.h"
#include "lua/result.h"

namespace {

// The counters reported, in the order the table receives them.
constexpr ac_stat reported[] = {
    STAT_event_open_pre, STAT_open_pre_handoff, STAT_open_pre_eagain,
    STAT_event_close_pre, STAT_close_pre_handoff, STAT_close_pre_eagain,
    STAT_event_open_post, STAT_open_post_handoff, STAT_open_post_eagain,
    STAT_event_mmap_pre, STAT_mmap_pre_handoff, STAT_mmap_pre_eagain,
    STAT_event_exec_pre, STAT_exec_pre_handoff, STAT_exec_pre_eagain,
    STAT_event_dup_pre, STAT_dup_pre_handoff, STAT_dup_pre_eagain,
    STAT_event_dup_post, STAT_dup_post_handoff, STAT_dup_post_eagain,
    STAT_event_chown_pre, STAT_chown_pre_handoff, STAT_chown_pre_eagain,
    STAT_event_chmod_pre, STAT_chmod_pre_handoff, STAT_chmod_pre_eagain,
    STAT_event_chmod_post, STAT_chmod_post_handoff, STAT_chmod_post_eagain,
    STAT_event_rename_post, STAT_rename_post_handoff, STAT_rename_post_eagain,
    STAT_event_unlink_post, STAT_unlink_post_handoff, STAT_unlink_post_eagain,
    STAT_event_chown_post, STAT_chown_post_handoff, STAT_chown_post_eagain,
    STAT_ac_allow, STAT_ac_ignore, STAT_ac_block, STAT_ac_error, STAT_ac_trackfile,
    STAT_script_execution, STAT_eagain_return, STAT_lua_return,
    STAT_event_not_handled, STAT_total_events,
    STAT_RunAllowedAutoAuthorize, STAT_run_prelink, STAT_run_allowed_trusted_path,
    STAT_run_hash_primary, STAT_quick_drift_filter, STAT_quick_im_filter, STAT_quick_filter_filter,
    STAT_run_program,
};
static_assert(sizeof reported / sizeof reported[0] == 57, "57 counters and the exclude count");

}  // namespace

extern "C" {

int l_EventAbstractionStats(lua_State* L)
{
    uint64_t snap[AC_STAT_COUNT];
    EventAbstractionStats(snap);
    lua_createtable(L, 0, 73);
    lac_set_counters(L, event_abstraction_stat_names, snap, AC_STAT_COUNT);
    return 1;
}

int l_BindStats(lua_State* L)
{
    uint64_t snap[AC_STAT_COUNT];
    EventAbstractionStats(snap);
    lua_createtable(L, 0, 58);
    lua_pushunsigned(L, (lua_Unsigned)(uint32_t)ac_bind_stats.load(std::memory_order_relaxed));
    lua_setfield(L, -2, "exclude_filter");
    for (ac_stat s : reported) {
        lua_pushunsigned(L, (lua_Unsigned)(uint32_t)snap[s]);
        lua_setfield(L, -2, event_abstraction_stat_names[s]);
    }
    return 1;
}

}  // extern "C"
