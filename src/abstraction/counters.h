// The fast path's process-wide counters, reported to Lua by name.
#pragma once
#include <atomic>
#include <cstdint>

enum ac_stat : int {
    STAT_event_open_pre = 0,
    STAT_open_pre_handoff,
    STAT_open_pre_eagain,
    STAT_event_close_pre,
    STAT_close_pre_handoff,
    STAT_close_pre_eagain,
    STAT_event_open_post,
    STAT_open_post_handoff,
    STAT_open_post_eagain,
    STAT_event_mmap_pre,
    STAT_mmap_pre_handoff,
    STAT_mmap_pre_eagain,
    STAT_event_exec_pre,
    STAT_exec_pre_handoff,
    STAT_exec_pre_eagain,
    STAT_event_dup_pre,
    STAT_dup_pre_handoff,
    STAT_dup_pre_eagain,
    STAT_event_dup_post,
    STAT_dup_post_handoff,
    STAT_dup_post_eagain,
    STAT_event_chown_pre,
    STAT_chown_pre_handoff,
    STAT_chown_pre_eagain,
    STAT_event_chmod_pre,
    STAT_chmod_pre_handoff,
    STAT_chmod_pre_eagain,
    STAT_event_chmod_post,
    STAT_chmod_post_handoff,
    STAT_chmod_post_eagain,
    STAT_event_rename_post,
    STAT_rename_post_handoff,
    STAT_rename_post_eagain,
    STAT_event_unlink_post,
    STAT_unlink_post_handoff,
    STAT_unlink_post_eagain,
    STAT_event_chown_post,
    STAT_chown_post_handoff,
    STAT_chown_post_eagain,
    STAT_event_setinfo_pre,
    STAT_setinfo_pre_handoff,
    STAT_setinfo_pre_eagain,
    STAT_event_setinfo_post,
    STAT_setinfo_post_handoff,
    STAT_setinfo_post_eagain,
    STAT_event_setsecurity_pre,
    STAT_setsecurity_pre_handoff,
    STAT_setsecurity_pre_eagain,
    STAT_event_setsecurity_post,
    STAT_setsecurity_post_handoff,
    STAT_setsecurity_post_eagain,
    STAT_event_link_pre,
    STAT_link_pre_handoff,
    STAT_link_pre_eagain,
    STAT_event_link_post,
    STAT_link_post_handoff,
    STAT_link_post_eagain,
    STAT_ac_allow,
    STAT_ac_ignore,
    STAT_ac_block,
    STAT_ac_error,
    STAT_ac_trackfile,
    STAT_script_execution,
    STAT_eagain_return,
    STAT_lua_return,
    STAT_event_not_handled,
    STAT_total_events,
    STAT_RunAllowedAutoAuthorize,
    STAT_run_prelink,
    STAT_run_allowed_trusted_path,
    STAT_trusted_drift,
    STAT_run_hash_primary,
    STAT_quick_drift_filter,
    STAT_quick_im_filter,
    STAT_quick_filter_filter,
    STAT_run_program,
    STAT_RunErrorNotExec,
    AC_STAT_COUNT
};
static_assert(AC_STAT_COUNT == 77, "counter count");

extern "C" {
// Incremented without a lock by every worker; relaxed is enough for statistics.
extern std::atomic<uint64_t> event_abstraction_stats[AC_STAT_COUNT];
extern const char* const event_abstraction_stat_names[AC_STAT_COUNT];
void EventAbstractionStats(uint64_t out[AC_STAT_COUNT]);
// Closes, opens and unlinks answered REPLY_IGNORE because of the exclude list.
extern std::atomic<uint64_t> ac_bind_stats;
void incExcludeFilter(void);
}

inline void ac_count(ac_stat s) { event_abstraction_stats[s].fetch_add(1, std::memory_order_relaxed); }
