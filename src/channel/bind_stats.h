// The agent's statistics view of the fast path.
#pragma once
#include <atomic>
#include <cstdint>
#include <lua.hpp>

extern "C" {
// Closes, opens and unlinks answered REPLY_IGNORE because of the exclude list.
extern std::atomic<uint64_t> ac_bind_stats;
void incExcludeFilter(void);
int l_BindStats(lua_State* L);
}
