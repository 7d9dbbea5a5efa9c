// The C event abstraction's entry: own and unsupported events, the reply
// operations with their counters and debug lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "abstraction/counters.h"
#include "abstraction/dispatcher.h"
#include "lua/fast_path_stats_lua.h"
#include "base/event_record.h"

namespace {

struct Event {
    ac_event_info info{};
    ac_decision_ctx ctx{};
    ac_reply_msg reply{};
    char log[256] = {};
    Event(uint32_t type, int32_t pid, uint64_t id, bool with_log = true)
    {
        info.type = type, info.pid = pid, info.id = id;
        ctx.event = &info;
        ctx.basedir = "";
        if (with_log) ctx.debugLog = fmemopen(log, sizeof log, "w");
    }
    ~Event() { if (ctx.debugLog) fclose(ctx.debugLog); }
    std::string lines() { return fflush(ctx.debugLog), log; }
};

// Counter changes since construction.
struct Delta {
    uint64_t before[AC_STAT_COUNT];
    Delta() { EventAbstractionStats(before); }
    uint64_t operator()(ac_stat s) const { return event_abstraction_stats[s].load() - before[s]; }
};

}  // namespace

// The agent's own events are ignored whatever their type; others of no handler are answered with an error.
TEST(Dispatcher, OwnAndUnsupportedEvents)
{
    for (uint32_t type : {30u, 200u}) {
        Delta d;
        auto ev = std::make_unique<Event>(type, (int32_t)getpid(), 0x100000005ull, false);  // no log: none written
        EXPECT_EQ(AbstractEvent(&ev->reply, &ev->ctx), 11);
        EXPECT_EQ(ev->reply.reply, (uint32_t)REPLY_IGNORE);
        EXPECT_EQ(ev->reply.id, 5u) << "low 32 bits of the id";
        EXPECT_EQ(d(STAT_ac_ignore) * 10 + d(STAT_total_events) + d(STAT_event_not_handled), 10u);
    }
    for (uint32_t type : {0u, 11u, 21u, 31u, 49u, 50u, 0xFFFFFFFFu}) {
        Delta d;
        auto ev = std::make_unique<Event>(type, 1, 77);
        EXPECT_EQ(AbstractEvent(&ev->reply, &ev->ctx), 11) << type;
        EXPECT_EQ(ev->reply.reply, (uint32_t)REPLY_ERROR);
        EXPECT_EQ(ev->reply.id + ev->reply.eta + ev->reply.error, 77);
        EXPECT_EQ(ev->lines(),
                  "Type " + std::to_string((int32_t)type) + " not supported by C event abstraction\nREPLY_ERROR\n");
        EXPECT_EQ(d(STAT_event_not_handled) + d(STAT_total_events) + d(STAT_ac_error), 3u) << type;
        EXPECT_EQ(d(STAT_lua_return) + d(STAT_eagain_return), 0u);
    }
}

TEST(Dispatcher, ReplyOperationsSetCodeCounterAndResult)
{
    const struct {
        int32_t (*op)(ac_decision_ctx*, ac_reply_msg*);
        uint32_t code;
        ac_stat counter;
        int32_t result;
        const char* line;
    } cases[] = {
        {replyAllowLua, REPLY_ALLOW, STAT_ac_allow, 1, "REPLY_ALLOW\n"},
        {replyAllowEagain, REPLY_ALLOW, STAT_ac_allow, 11, "REPLY_ALLOW\n"},
        {replyBlock, REPLY_BLOCK, STAT_ac_block, 1, "REPLY_BLOCK\n"},
        {replyIgnoreLua, REPLY_IGNORE, STAT_ac_ignore, 1, "REPLY_IGNORE_LUA\n"},
        {replyIgnoreEagain, REPLY_IGNORE, STAT_ac_ignore, 11, "REPLY_IGNORE_EAGAIN\n"},
        {replyTrackfile, REPLY_TRACKFILE, STAT_ac_trackfile, 11, "REPLY_TRACKFILE\n"},
        {replyError, REPLY_ERROR, STAT_ac_error, 11, "REPLY_ERROR\n"},
    };
    for (const auto& c : cases) {
        Delta d;
        auto ev = std::make_unique<Event>(24, 1, 9);
        EXPECT_EQ(c.op(&ev->ctx, &ev->reply), c.result);
        EXPECT_EQ(ev->reply.reply, c.code);
        EXPECT_EQ(ev->reply.id, 9u);
        EXPECT_EQ(d(c.counter), 1u);
        EXPECT_EQ(ev->lines(), c.line);
    }
    // The handler's results: Lua returns, retries, and every event.
    Delta d;
    for (int32_t r : {0, 1, 11, -5}) StatHandler(r);
    EXPECT_EQ(d(STAT_lua_return) * 100 + d(STAT_eagain_return) * 10 + d(STAT_total_events), 214u);
    lua_State* L = luaL_newstate();  // Lua sees the low 32 bits
    event_abstraction_stats[STAT_run_hash_primary].store((1ull << 32) + 5);
    l_EventAbstractionStats(L);
    lua_getfield(L, -1, "run_hash_primary");
    EXPECT_EQ(lua_tonumber(L, -1), 5);
    event_abstraction_stats[STAT_run_hash_primary].store(0);
    lua_close(L);
}
