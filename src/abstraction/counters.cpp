#include "abstraction/counters.h"

extern "C" {

std::atomic<uint64_t> event_abstraction_stats[AC_STAT_COUNT];

const char* const event_abstraction_stat_names[AC_STAT_COUNT] = {
    "event_open_pre",
    "open_pre_handoff",
    "open_pre_eagain",
    "event_close_pre",
    "close_pre_handoff",
    "close_pre_eagain",
    "event_open_post",
    "open_post_handoff",
    "open_post_eagain",
    "event_mmap_pre",
    "mmap_pre_handoff",
    "mmap_pre_eagain",
    "event_exec_pre",
    "exec_pre_handoff",
    "exec_pre_eagain",
    "event_dup_pre",
    "dup_pre_handoff",
    "dup_pre_eagain",
    "event_dup_post",
    "dup_post_handoff",
    "dup_post_eagain",
    "event_chown_pre",
    "chown_pre_handoff",
    "chown_pre_eagain",
    "event_chmod_pre",
    "chmod_pre_handoff",
    "chmod_pre_eagain",
    "event_chmod_post",
    "chmod_post_handoff",
    "chmod_post_eagain",
    "event_rename_post",
    "rename_post_handoff",
    "rename_post_eagain",
    "event_unlink_post",
    "unlink_post_handoff",
    "unlink_post_eagain",
    "event_chown_post",
    "chown_post_handoff",
    "chown_post_eagain",
    "event_setinfo_pre",
    "setinfo_pre_handoff",
    "setinfo_pre_eagain",
    "event_setinfo_post",
    "setinfo_post_handoff",
    "setinfo_post_eagain",
    "event_setsecurity_pre",
    "setsecurity_pre_handoff",
    "setsecurity_pre_eagain",
    "event_setsecurity_post",
    "setsecurity_post_handoff",
    "setsecurity_post_eagain",
    "event_link_pre",
    "link_pre_handoff",
    "link_pre_eagain",
    "event_link_post",
    "link_post_handoff",
    "link_post_eagain",
    "ac_allow",
    "ac_ignore",
    "ac_block",
    "ac_error",
    "ac_trackfile",
    "script_execution",
    "eagain_return",
    "lua_return",
    "event_not_handled",
    "total_events",
    "RunAllowedAutoAuthorize",
    "run_prelink",
    "run_allowed_trusted_path",
    "trusted_drift",
    "run_hash_primary",
    "quick_drift_filter",
    "quick_im_filter",
    "quick_filter_filter",
    "run_program",
    "RunErrorNotExec",
};

void EventAbstractionStats(uint64_t out[AC_STAT_COUNT])
{
    for (int i = 0; i < AC_STAT_COUNT; i++) out[i] = event_abstraction_stats[i].load(std::memory_order_relaxed);
}

std::atomic<uint64_t> ac_bind_stats{0};

void incExcludeFilter(void) { ac_bind_stats.fetch_add(1, std::memory_order_relaxed); }

}  // extern "C"
