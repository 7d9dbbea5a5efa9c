// Host stand-in: zip output stream read back with wx's zip reader, and the
// binding's object fetch. The Lua side (test_host.lua) covers the rest.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wx/wfstream.h>
#include <wx/zipstrm.h>

#include "unit_util.h"
#include "vyacore.h"
#include "vyacore_binding.h"
#include "vyacore_dom.h"
#include "vyacore_zip.h"

using VyaCore::CDom;
using VyaCore::CZipOutputStream;

namespace {

// The entries in archive order, and entry name -> contents; empty when unreadable.
std::pair<std::vector<std::string>, std::map<std::string, std::string>> read_archive(const std::string& path)
{
    std::vector<std::string> names;
    std::map<std::string, std::string> data;
    wxFFileInputStream file(wxString(path.c_str(), wxConvLibc));
    wxZipInputStream zip(file);
    std::unique_ptr<wxZipEntry> entry;
    while (file.IsOk() && (entry.reset(zip.GetNextEntry()), entry)) {
        std::string name(entry->GetName(wxPATH_UNIX).mb_str(wxConvLibc));
        char buf[65536];
        while (zip.Read(buf, sizeof buf).LastRead() > 0) data[name].append(buf, zip.LastRead());
        names.push_back(name);
    }
    if (zip.GetLastError() != wxSTREAM_EOF) names = {"<unreadable>"};
    return {names, data};
}

TEST(HostZip, EntriesReadBackByteForByte)
{
    TempDir dir("host");
    const std::string path = dir / "a.zip";
    std::unique_ptr<CZipOutputStream> zip(CZipOutputStream::Create(path.c_str()));
    ASSERT_TRUE(zip);
    // Bytes that do not compress well, with embedded zeros, over 1 MiB.
    std::string big(1 << 20 | 123, '\0');
    uint32_t x = 12345;
    for (char& c : big) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>((x >> 16) % 7 == 0 ? 0 : x >> 24);
    }
    const std::string small("abc\0def", 7);
    zip->AddFromMemory(big.data(), big.size(), wxS("exec_cache"), wxS("ac"));
    zip->AddFromMemory(small.data(), small.size(), wxS("top"), wxString());
    zip->AddFromMemory(nullptr, 0, wxS("empty"), wxS("ac/deeper"));
    EXPECT_FALSE(zip->IsClosed());
    EXPECT_TRUE(zip->Close());
    EXPECT_TRUE(zip->IsClosed());
    // Nothing more after closing, and the archive is left as it was.
    zip->AddFromMemory(small.data(), small.size(), wxS("late"), wxS("ac"));
    EXPECT_FALSE(zip->Close());
    zip.reset();

    auto [names, data] = read_archive(path);
    EXPECT_EQ(names, (std::vector<std::string>{"ac/exec_cache", "top", "ac/deeper/empty"}));
    EXPECT_TRUE(data["ac/exec_cache"] == big);
    EXPECT_EQ(data["top"], small);
    EXPECT_EQ(data["ac/deeper/empty"], "");
}

TEST(HostZip, FailuresAreReported)
{
    TempDir dir("host");
    errno = 0;
    EXPECT_EQ(CZipOutputStream::Create((dir / "missing/c.zip").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    // Opens fine; every write fails.
    std::unique_ptr<CZipOutputStream> full(CZipOutputStream::Create("/dev/full"));
    ASSERT_TRUE(full);
    std::string data(100000, 'x');
    full->AddFromMemory(data.data(), data.size(), wxS("filterSet"), wxS("ac"));
    EXPECT_FALSE(full->Close());
}

class HostBinding : public ::testing::Test {
protected:
    lua_State* L = luaL_newstate();
    void SetUp() override
    {
        luaL_openlibs(L);
        luaL_requiref(L, "vyacore", luaopen_vyacore, 1);
        lua_settop(L, 0);
    }
    void TearDown() override { lua_close(L); }
    // Runs a chunk that returns one value and leaves it on the stack.
    void push_value(const char* chunk)
    {
        ASSERT_EQ(luaL_dostring(L, chunk), LUA_OK) << lua_tostring(L, -1);
        ASSERT_EQ(lua_gettop(L), 1);
    }
};

TEST_F(HostBinding, FetchesObjectsOfTheNamedTypeOnly)
{
    push_value("return vyacore.dom('/r')");
    bool is_const = true;
    auto* dom = static_cast<CDom*>(vyacore_fetch(L, 1, VYACORE_TYPE_DOM, &is_const));
    ASSERT_NE(dom, nullptr);
    EXPECT_FALSE(is_const);
    EXPECT_EQ(dom->GetPluginFile("ac", "ac.db"), "/r/ac/ac.db");
    EXPECT_EQ(vyacore_fetch(L, -1, VYACORE_TYPE_DOM, nullptr), dom) << "relative index, no flag";
    is_const = true;
    EXPECT_EQ(vyacore_fetch(L, 1, VYACORE_TYPE_ZIP, &is_const), nullptr);
    EXPECT_FALSE(is_const);
    EXPECT_EQ(vyacore_fetch(L, 1, "SLB.Other", &is_const), nullptr);
    EXPECT_EQ(vyacore_fetch(L, 1, nullptr, &is_const), nullptr);
    EXPECT_EQ(lua_gettop(L), 1) << "the stack is left as it was";
}

TEST_F(HostBinding, ConstantViewYieldsTheSameObjectMarked)
{
    TempDir dir("host");
    lua_pushstring(L, (dir / "v.zip").c_str());
    lua_setglobal(L, "path");
    push_value("return vyacore.const(vyacore.zip(path))");
    bool is_const = false;
    void* view = vyacore_fetch(L, 1, VYACORE_TYPE_ZIP, &is_const);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(is_const);
    // The original, reached through the view's user value.
    lua_getuservalue(L, 1);
    lua_rawgeti(L, -1, 1);
    is_const = true;
    EXPECT_EQ(vyacore_fetch(L, -1, VYACORE_TYPE_ZIP, &is_const), view);
    EXPECT_FALSE(is_const);
}

TEST_F(HostBinding, AnythingElseGivesNoObject)
{
    for (const char* chunk : {"return nil", "return 7", "return 'SLB.Dom'", "return {}", "return io.stdout"}) {
        lua_settop(L, 0);
        push_value(chunk);
        bool is_const = true;
        EXPECT_EQ(vyacore_fetch(L, 1, VYACORE_TYPE_DOM, &is_const), nullptr) << chunk;
        EXPECT_FALSE(is_const) << chunk;
    }
    int x = 0;
    lua_pushlightuserdata(L, &x);
    EXPECT_EQ(vyacore_fetch(L, -1, VYACORE_TYPE_DOM, nullptr), nullptr);
    EXPECT_EQ(vyacore_fetch(L, 5, VYACORE_TYPE_DOM, nullptr), nullptr) << "an empty slot";
}

}  // namespace
