// The Lua table that get hands to the policy code for a decided event.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "abstraction/context.h"
#include "channel/event_table.h"
#include "channel/status.h"

namespace {

struct Fixture : ::testing::Test {
    lua_State* L = luaL_newstate();
    ac_event_record rec{};
    std::unique_ptr<ac_event_info> info = std::make_unique<ac_event_info>();
    std::unique_ptr<ac_decision_ctx> ctx = std::make_unique<ac_decision_ctx>();
    Fixture()
    {
        lac_initialize();
        ctx->event = info.get();
        ctx->basedir = "";
        ctx->cache_type = -1;
    }
    ~Fixture() override { lua_close(L); }
    void build()
    {
        size_t bad = 0;
        ASSERT_EQ(lac_push_event_table(L, &rec, ctx.get(), &bad), nullptr);
    }
    bool has(const char* key)
    {
        lua_getfield(L, -1, key);
        bool r = !lua_isnil(L, -1);
        lua_pop(L, 1);
        return r;
    }
    double num(const char* key)
    {
        lua_getfield(L, -1, key);
        double v = lua_tonumber(L, -1);
        lua_pop(L, 1);
        return v;
    }
    std::string str(const char* key)
    {
        lua_getfield(L, -1, key);
        std::string v = lua_isstring(L, -1) ? lua_tostring(L, -1) : "<none>";
        lua_pop(L, 1);
        return v;
    }
};

}  // namespace

TEST_F(Fixture, ClosePreHasFdOnlyAndNameOnlyWhenFilled)
{
    rec.type = 30;
    rec.fd = 7;
    rec.id = 5;
    info->type = 30;
    build();
    EXPECT_EQ(num("fd"), 7);
    EXPECT_FALSE(has("dirfd"));
    EXPECT_FALSE(has("previd"));
    EXPECT_FALSE(has("rc"));
    EXPECT_FALSE(has("name"));
    EXPECT_FALSE(has("cache_type")) << "not looked up";
    EXPECT_FALSE(has("size"));
    EXPECT_FALSE(has("bind_action"));
    EXPECT_FALSE(has("action_type"));
    EXPECT_EQ(str("realpath"), "") << "context texts are always present";
    EXPECT_EQ(str("ruleset"), "");
    lua_getfield(L, -1, "isdrift");
    EXPECT_TRUE(lua_isboolean(L, -1));
    lua_pop(L, 1);
}

TEST_F(Fixture, OpenPostCarriesPrevidRcAndDecisions)
{
    rec.type = 25;
    rec.id = 9;
    rec.rc = -2;
    rec.fd = -100;
    rec.flags = 0x241;
    rec.mode = 0644;
    rec.execUid = 1000;
    info->type = 25;
    strcpy(info->name, "/tmp/new.sh");
    ctx->cache_type = 3;
    ctx->bind_action = 3;
    ctx->size = 5000000000ull;
    ctx->processTypeIndex = 4;
    ctx->isdrift = 7;  // not 0 or 1: left out
    strcpy(ctx->ruleset, "ruleset-1-2-3-4");
    info->action_type = 4;
    info->operationType = "update";
    strcpy(info->newExtension, "sh");
    info->previousMode = 0755;
    build();
    EXPECT_EQ(num("previd"), 8);
    EXPECT_EQ(num("rc"), -2);
    EXPECT_EQ(num("dirfd"), -100);
    EXPECT_EQ(num("flags"), 0x241);
    EXPECT_EQ(num("mode"), 0644);
    EXPECT_EQ(num("execGid"), 1000);
    EXPECT_EQ(str("name"), "/tmp/new.sh");
    EXPECT_EQ(num("cache_type"), 3);
    EXPECT_EQ(num("bind_action"), 3);
    EXPECT_EQ(num("size"), 5000000000.0);
    EXPECT_EQ(num("processTypeIndex"), 4);
    EXPECT_FALSE(has("isdrift"));
    EXPECT_EQ(str("ruleset"), "ruleset-1-2-3-4");
    EXPECT_EQ(num("action_type"), 4);
    EXPECT_EQ(str("operationType"), "update");
    EXPECT_EQ(str("newExtension"), "sh");
    EXPECT_EQ(num("previousMode"), 0755);
}

TEST_F(Fixture, ActionTypeTextOnlyWhileNumberUnset)
{
    rec.type = 24;
    info->type = 24;
    info->action_type_str = "SCRIPT_EXECUTION";
    build();
    EXPECT_EQ(str("action_type"), "SCRIPT_EXECUTION");
}

TEST_F(Fixture, OverlongResolvedNameIsReportedNotRaised)
{
    rec.type = 24;
    info->type = 24;
    memset(info->name, 'a', 2000);
    size_t bad = 0;
    EXPECT_STREQ(lac_push_event_table(L, &rec, ctx.get(), &bad), "name");
    EXPECT_EQ(bad, 2000u);
    EXPECT_EQ(lua_gettop(L), 0) << "nothing pushed";
}

TEST_F(Fixture, ResultConventionMessages)
{
    EXPECT_EQ(l_pushresult(L, 0, "x"), 1);
    EXPECT_TRUE(lua_toboolean(L, -1));
    lua_settop(L, 0);
    EXPECT_EQ(l_pushresult(L, -2, "%s", "poll()"), 3);
    EXPECT_STREQ(lua_tostring(L, -1), "poll(): Shutting down (-2)");
    EXPECT_EQ(lua_tointeger(L, -2), -2);
    EXPECT_TRUE(lua_isnil(L, -3));
    lua_settop(L, 0);
    l_pushresult(L, -1, "Already stopped");
    EXPECT_STREQ(lua_tostring(L, -1), "Already stopped:  (-1)");
    lua_settop(L, 0);
    l_pushresult(L, -7, "x%d", 5);
    EXPECT_STREQ(lua_tostring(L, -1), "x5:  (-7)");
    EXPECT_EQ(lac_explain(-7), LAC_CLASS_FAILED);
    EXPECT_EQ(lac_explain(11), LAC_CLASS_RETRY);
    lua_settop(L, 0);
    l_pushresult(L, 9, "close_device()");
    EXPECT_STREQ(lua_tostring(L, -1), "close_device(): Bad file descriptor (9)") << "no handle at 1";
}
