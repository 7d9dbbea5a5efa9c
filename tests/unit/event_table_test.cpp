// The event record's layout and attribute masks, and the event table's report
// of a name too long for Lua. The table's fields as the policy code sees them:
// drv_get.lua.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "base/context.h"
#include "base/event_record.h"
#include "lua/event_table.h"
#include "lua/result.h"

TEST(EventTypes, NamesMasksAndRecordLayout)
{
    EXPECT_STREQ(getEventType(24), "AC_EVENT_OPEN_PRE");
    EXPECT_STREQ(getEventType(48), "AC_EVENT_MMAP_PRE");
    for (uint32_t t : {8u, 21u, 31u, 50u, 0xFFFFFFFFu}) EXPECT_STREQ(getEventType(t), "") << t;
    // Records of the old types carry everything; each post event adds id and rc to its pre event's mask.
    lac_initialize();
    for (int t = 0; t < 22; t++) EXPECT_EQ(generated_event_attribute_mask[t], ~uint64_t(0)) << t;
    for (int pre = 22; pre < 50; pre += 2)
        EXPECT_EQ(generated_event_attribute_mask[pre + 1], generated_event_attribute_mask[pre] | ATTR_ID_RC) << pre;
    EXPECT_EQ(generated_event_attribute_mask[30], 0x2u) << "close: the descriptor only";
    // The layout on the wire.
    EXPECT_EQ(offsetof(ac_event_record, type) + offsetof(ac_event_record, tid), 8u + 32u);
    EXPECT_EQ(offsetof(ac_event_record, fd) + offsetof(ac_event_record, name_len), 48u + 80u);
    EXPECT_EQ(sizeof(ac_event_record), 2136u);
}

TEST(EventTable, OverlongNameIsReportedNotRaised)
{
    lua_State* L = luaL_newstate();
    ac_event_record rec{};
    auto info = std::make_unique<ac_event_info>();
    auto ctx = std::make_unique<ac_decision_ctx>();
    ctx->event = info.get();
    ctx->basedir = "";
    rec.type = info->type = 24;
    memset(info->name, 'a', 2000);
    size_t bad = 0;
    EXPECT_STREQ(lac_push_event_table(L, &rec, ctx.get(), &bad), "name");
    EXPECT_EQ(bad, 2000u);
    EXPECT_EQ(lua_gettop(L), 0) << "nothing pushed";
    info->name[1023] = '\0';
    EXPECT_EQ(lac_push_event_table(L, &rec, ctx.get(), &bad), nullptr);
    lua_getfield(L, -1, "name");
    EXPECT_EQ(lua_rawlen(L, -1), 1023u);
    lua_close(L);
}
