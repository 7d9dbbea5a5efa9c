// The event record and its type tables, and the Lua table that get hands to
// the policy code for a decided event.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "base/context.h"
#include "base/event_record.h"
#include "lua/event_table.h"
#include "lua/result.h"

TEST(EventTypes, NamesMasksAndRecordLayout)
{
    const std::pair<uint32_t, const char*> names[] = {
        {0, "NULL"}, {7, "AC_TYPE_DELETE"}, {24, "AC_EVENT_OPEN_PRE"}, {30, "AC_EVENT_CLOSE_PRE"},
        {48, "AC_EVENT_MMAP_PRE"}};
    for (auto [t, name] : names) EXPECT_STREQ(getEventType(t), name) << t;
    for (uint32_t t : {8u, 21u, 31u, 33u, 34u, 44u, 46u, 49u, 50u, 0xFFFFFFFFu}) EXPECT_STREQ(getEventType(t), "") << t;

    // Pre masks; each post event adds id and rc.
    lac_initialize();
    for (int t = 0; t < 22; t++) EXPECT_EQ(generated_event_attribute_mask[t], ~uint64_t(0)) << t;
    const std::pair<int, uint64_t> masks[] = {
        {22, 0x4A}, {24, 0x264}, {26, 0x224}, {28, 0x22}, {30, 0x2}, {32, 0x244}, {34, 0x654},
        {36, 0x200}, {38, 0x200}, {40, 0x2}, {42, 0x244}, {44, 0x200}, {46, 0x244}, {48, 0x62},
    };
    for (auto [pre, mask] : masks) {
        EXPECT_EQ(generated_event_attribute_mask[pre], mask) << pre;
        EXPECT_EQ(generated_event_attribute_mask[pre + 1], mask | ATTR_ID_RC) << pre + 1;
    }
    // The layout on the wire.
    EXPECT_EQ(offsetof(ac_event_record, type), 8u);
    EXPECT_EQ(offsetof(ac_event_record, tid), 32u);
    EXPECT_EQ(offsetof(ac_event_record, fd), 48u);
    EXPECT_EQ(offsetof(ac_event_record, name_len), 80u);
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
    void build(uint32_t type)
    {
        rec.type = info->type = type;
        size_t bad = 0;
        ASSERT_EQ(lac_push_event_table(L, &rec, ctx.get(), &bad), nullptr);
    }
    // A field of the table as text: "<nil>" when absent.
    std::string get(const char* key)
    {
        lua_getfield(L, -1, key);
        std::string v = lua_isnil(L, -1) ? "<nil>" : lua_isboolean(L, -1) ? "<bool>" : lua_tostring(L, -1);
        lua_pop(L, 1);
        return v;
    }
};

}  // namespace

TEST_F(EventTable, ClosePreHasFdOnlyAndNameOnlyWhenFilled)
{
    rec.fd = 7;
    rec.id = 5;
    build(30);
    EXPECT_EQ(get("fd"), "7");
    // cache_type: not looked up.
    for (const char* key : {"dirfd", "previd", "rc", "name", "cache_type", "size", "bind_action", "action_type"})
        EXPECT_EQ(get(key), "<nil>") << key;
    EXPECT_EQ(get("realpath"), "") << "context texts are always present";
    EXPECT_EQ(get("ruleset"), "");
    EXPECT_EQ(get("isdrift"), "<bool>");
}

TEST_F(EventTable, OpenPostCarriesPrevidRcAndDecisions)
{
    rec.id = 9;
    rec.rc = -2;
    rec.fd = -100;
    rec.flags = 0x241;
    rec.mode = 0644;
    rec.execUid = 1000;
    strcpy(info->name, "/tmp/new.sh");
    ctx->cache_type = ctx->bind_action = 3;
    ctx->size = 5000000000ull;
    ctx->processTypeIndex = 4;
    ctx->isdrift = 7;  // not 0 or 1: left out
    strcpy(ctx->ruleset, "ruleset-1-2-3-4");
    info->action_type = 4;
    info->operationType = "update";
    strcpy(info->newExtension, "sh");
    info->previousMode = 0755;
    build(25);
    const std::pair<const char*, const char*> want[] = {
        {"previd", "8"}, {"rc", "-2"}, {"dirfd", "-100"}, {"flags", "577"}, {"mode", "420"}, {"execGid", "1000"},
        {"name", "/tmp/new.sh"}, {"cache_type", "3"}, {"bind_action", "3"}, {"size", "5000000000"},
        {"processTypeIndex", "4"}, {"isdrift", "<nil>"}, {"ruleset", "ruleset-1-2-3-4"}, {"action_type", "4"},
        {"operationType", "update"}, {"newExtension", "sh"}, {"previousMode", "493"}};
    for (auto [key, value] : want) EXPECT_EQ(get(key), value) << key;
}

TEST_F(EventTable, ActionTypeTextOnlyWhileNumberUnsetAndOverlongNameReported)
{
    info->action_type_str = "SCRIPT_EXECUTION";
    build(24);
    EXPECT_EQ(get("action_type"), "SCRIPT_EXECUTION");

    lua_settop(L, 0);
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
    lua_settop(L, 0);
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
