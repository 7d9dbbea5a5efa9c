// The event record's layout and attribute masks, and the Lua table that get
// hands to the policy code for a decided event.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "abstraction/context.h"
#include "channel/event_record.h"
#include "channel/event_table.h"
#include "channel/status.h"

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

namespace {

struct EventTable : ::testing::Test {
    lua_State* L = luaL_newstate();
    ac_event_record rec{};
    std::unique_ptr<ac_event_info> info = std::make_unique<ac_event_info>();
    std::unique_ptr<ac_decision_ctx> ctx = std::make_unique<ac_decision_ctx>();
    EventTable()
    {
        lac_initialize();
        ctx->event = info.get();
        ctx->basedir = "";
        ctx->cache_type = -1;
    }
    ~EventTable() override { lua_close(L); }
    // The table's fields as text: "<nil>" when absent.
    std::string build(uint32_t type, const std::vector<const char*>& keys)
    {
        rec.type = info->type = type;
        size_t bad = 0;
        EXPECT_EQ(lac_push_event_table(L, &rec, ctx.get(), &bad), nullptr);
        std::string out;
        for (const char* key : keys) {
            lua_getfield(L, -1, key);
            out += std::string(key) + "=" +
                   (lua_isnil(L, -1) ? "<nil>" : lua_isboolean(L, -1) ? "<bool>" : lua_tostring(L, -1)) + " ";
            lua_pop(L, 1);
        }
        lua_settop(L, 0);
        return out;
    }
};

}  // namespace

TEST_F(EventTable, FieldsFollowTheMaskAndTheContext)
{
    rec.fd = 7, rec.id = 9, rec.rc = -2, rec.flags = 0x241, rec.mode = 0644, rec.execUid = 1000;
    EXPECT_EQ(build(30, {"fd", "previd", "rc", "name", "cache_type", "size", "realpath", "isdrift"}),
              "fd=7 previd=<nil> rc=<nil> name=<nil> cache_type=<nil> size=<nil> realpath= isdrift=<bool> ");
    rec.fd = -100;
    strcpy(info->name, "/tmp/new.sh");
    ctx->cache_type = ctx->bind_action = 3;
    ctx->size = 5000000000ull;
    ctx->processTypeIndex = 4;
    ctx->isdrift = 7;  // not 0 or 1: left out
    strcpy(ctx->ruleset, "ruleset-1-2-3-4");
    info->action_type = 4, info->operationType = "update", info->previousMode = 0755;
    info->action_type_str = "SCRIPT_EXECUTION";  // only while the number is unset
    strcpy(info->newExtension, "sh");
    EXPECT_EQ(build(25, {"previd", "rc", "dirfd", "flags", "mode", "execGid", "name", "cache_type", "bind_action",
                         "size", "processTypeIndex", "isdrift", "ruleset", "action_type", "operationType",
                         "newExtension", "previousMode"}),
              "previd=8 rc=-2 dirfd=-100 flags=577 mode=420 execGid=1000 name=/tmp/new.sh cache_type=3 "
              "bind_action=3 size=5000000000 processTypeIndex=4 isdrift=<nil> ruleset=ruleset-1-2-3-4 "
              "action_type=4 operationType=update newExtension=sh previousMode=493 ");
    info->action_type = 0;
    EXPECT_EQ(build(24, {"action_type"}), "action_type=SCRIPT_EXECUTION ");

    memset(info->name, 'a', 2000);
    size_t bad = 0;
    EXPECT_STREQ(lac_push_event_table(L, &rec, ctx.get(), &bad), "name") << "reported, not raised";
    EXPECT_EQ(bad, 2000u);
    EXPECT_EQ(lua_gettop(L), 0) << "nothing pushed";
}

TEST_F(EventTable, ResultConventionMessages)
{
    EXPECT_EQ(l_pushresult(L, 0, "x"), 1);
    EXPECT_TRUE(lua_toboolean(L, -1));
    EXPECT_EQ(l_pushresult(L, -2, "%s", "poll()"), 3);
    EXPECT_STREQ(lua_tostring(L, -1), "poll(): Shutting down (-2)");
    EXPECT_EQ(lua_tointeger(L, -2), -2);
    EXPECT_TRUE(lua_isnil(L, -3));
    l_pushresult(L, -7, "x%d", 5);
    EXPECT_STREQ(lua_tostring(L, -1), "x5:  (-7)");
    l_pushresult(L, 9, "close_device()");
    EXPECT_STREQ(lua_tostring(L, -1), "close_device(): Bad file descriptor (9)") << "no handle at 1";
    EXPECT_EQ(lac_explain(-7), LAC_CLASS_FAILED);
    EXPECT_EQ(lac_explain(11), LAC_CLASS_RETRY);
}
