// Host stand-in: zip output stream read back with wx's zip reader, and the
// binding's object fetch. The Lua side (test_host.lua) covers the rest.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wx/wfstream.h>
#include <wx/zipstrm.h>

#include "vyacore.h"
#include "vyacore_binding.h"
#include "vyacore_dom.h"
#include "vyacore_zip.h"

using VyaCore::CDom;
using VyaCore::CZipOutputStream;

namespace {

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/host_test.XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir()
    {
        if (!path_.empty()) (void)system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Entry name -> contents, in any order; also the names in archive order.
struct Archive {
    bool ok = false;
    std::vector<std::string> names;
    std::map<std::string, std::string> data;
};

Archive read_archive(const std::string& path)
{
    Archive a;
    wxFFileInputStream file(wxString(path.c_str(), wxConvLibc));
    if (!file.IsOk()) return a;
    wxZipInputStream zip(file);
    std::unique_ptr<wxZipEntry> entry;
    while (entry.reset(zip.GetNextEntry()), entry) {
        std::string name(entry->GetName(wxPATH_UNIX).mb_str(wxConvLibc));
        std::string bytes;
        char buf[65536];
        while (zip.Read(buf, sizeof buf).LastRead() > 0) bytes.append(buf, zip.LastRead());
        a.names.push_back(name);
        a.data[name] = bytes;
    }
    a.ok = zip.GetLastError() == wxSTREAM_EOF;
    return a;
}

TEST(HostZip, EntriesReadBackByteForByte)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir.path() + "/a.zip";
    std::unique_ptr<CZipOutputStream> zip(CZipOutputStream::Create(path.c_str()));
    ASSERT_TRUE(zip);

    // Bytes that do not compress well, with embedded zeros, over 1 MiB.
    std::string big(1 << 20 | 123, '\0');
    uint32_t x = 12345;
    for (char& c : big) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>((x >> 16) % 7 == 0 ? 0 : x >> 24);
    }
    const std::string small = "abc\0def";
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

    Archive a = read_archive(path);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.names, (std::vector<std::string>{"ac/exec_cache", "top", "ac/deeper/empty"}));
    EXPECT_TRUE(a.data["ac/exec_cache"] == big);
    EXPECT_EQ(a.data["top"], small);
    EXPECT_EQ(a.data["ac/deeper/empty"], "");
}

TEST(HostZip, FailuresAreReported)
{
    TempDir dir;
    errno = 0;
    EXPECT_EQ(CZipOutputStream::Create((dir.path() + "/missing/c.zip").c_str()), nullptr);
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
    void SetUp() override
    {
        L = luaL_newstate();
        luaL_openlibs(L);
        luaL_requiref(L, "vyacore", luaopen_vyacore, 1);
        lua_pop(L, 1);
    }
    void TearDown() override { lua_close(L); }

    // Runs a chunk that returns one value and leaves it on the stack.
    void push_value(const char* chunk)
    {
        ASSERT_EQ(luaL_dostring(L, chunk), LUA_OK) << lua_tostring(L, -1);
        ASSERT_EQ(lua_gettop(L), 1);
    }

    lua_State* L = nullptr;
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
    TempDir dir;
    lua_pushstring(L, (dir.path() + "/v.zip").c_str());
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
