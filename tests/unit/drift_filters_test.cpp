// The fresh file filter for the driver and the two quick filters.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "cache/drift.h"
#include "cache/drift_filters.h"

namespace {

std::string reply(uint32_t pidsize, uint32_t fdsize, uint32_t id)
{
    std::string r(20, '\0');
    memcpy(&r[8], &pidsize, 4);
    memcpy(&r[12], &fdsize, 4);
    memcpy(&r[16], &id, 4);
    return r;
}

bool bit(const uint8_t* map, unsigned byte, unsigned b) { return (map[byte] >> b) & 1; }

int fresh(const std::string& r, ac_fresh_filter* out, std::string* err)
{
    char buf[128] = {};
    int rc = DriftFreshFilter(r.data(), r.size(), out, buf, sizeof buf);
    *err = buf;
    return rc;
}

struct Ctx {
    std::unique_ptr<ac_decision_ctx> ctx = std::make_unique<ac_decision_ctx>();
    Ctx(const std::string& path, const char* ext, const char* basedir = "")
    {
        ac_copy_path(ctx->realpath, path.c_str());
        strcpy(ctx->fileExtension, ext);
        ctx->basedir = basedir;
    }
};

struct TempFile {
    std::string path;
    TempFile(const char* name, mode_t mode)
    {
        char dir[] = "/var/lib/acengine-filters-XXXXXX";
        mkdir("/var/lib", 0755);
        path = std::string(mkdtemp(dir)) + "/" + name;
        FILE* f = fopen(path.c_str(), "w");
        fclose(f);
        chmod(path.c_str(), mode);
    }
    ~TempFile()
    {
        unlink(path.c_str());
        rmdir(path.substr(0, path.rfind('/')).c_str());
    }
};

}  // namespace

TEST(FreshFilter, BitmapsIndexPidAndDescriptorModulo256)
{
    DriftClear();
    DriftOpen(300, 9);
    DriftOpen(5, 0);
    DriftOpen(261, 256 + 17);
    ac_fresh_filter rec;
    std::string err;
    ASSERT_EQ(fresh(reply(32, 32, 7), &rec, &err), 0);
    EXPECT_EQ(memcmp(rec.command, "\"setfilefilter\"", 16), 0);
    EXPECT_EQ(rec.id, 7u);
    EXPECT_TRUE(bit(rec.pids, 5, 4)) << "pid 300: byte 5, bit 4";
    EXPECT_TRUE(bit(rec.fds, 1, 1)) << "fd 9: byte 1, bit 1";
    EXPECT_TRUE(bit(rec.pids, 0, 5)) << "pids 5 and 261 share a bit";
    EXPECT_TRUE(bit(rec.fds, 2, 1)) << "fd 273 wraps to 17";
    int set = 0;
    for (uint8_t b : rec.pids) set += __builtin_popcount(b);
    EXPECT_EQ(set, 2);
    DriftClear();
}

TEST(FreshFilter, EmptyTrackerStillEchoesTheId)
{
    DriftClear();
    ac_fresh_filter rec;
    std::string err;
    ASSERT_EQ(fresh(reply(32, 32, 0xABCDEF), &rec, &err), 0);
    EXPECT_EQ(rec.id, 0xABCDEFu);
    for (uint8_t b : rec.pids) EXPECT_EQ(b, 0);
    for (uint8_t b : rec.fds) EXPECT_EQ(b, 0);
}

TEST(FreshFilter, RefusalsAndTheirCounters)
{
    ac_fresh_filter rec;
    std::string err;
    uint64_t newfilter = drift.counters[DRIFT_newfilter];
    EXPECT_EQ(fresh(reply(32, 32, 1).substr(0, 19), &rec, &err), -1);
    EXPECT_EQ(err, "missing getfilefilter args (19)");
    EXPECT_EQ(drift.counters[DRIFT_newfilter], newfilter) << "too short: not counted";

    char buf[64];
    EXPECT_EQ(DriftFreshFilter(nullptr, 0, &rec, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "missing getfilefilter");

    drift.counters[DRIFT_dirt] = 5;
    EXPECT_EQ(fresh(reply(64, 32, 1), &rec, &err), -1);
    EXPECT_EQ(err, "pidsize 64 != 32");
    EXPECT_EQ(drift.counters[DRIFT_newfilter], newfilter + 1) << "counted before the size tests";
    EXPECT_EQ(drift.counters[DRIFT_dirt], 0u);
    EXPECT_EQ(fresh(reply(32, 16, 1), &rec, &err), -1);
    EXPECT_EQ(err, "fdsize 16 != 32");
}

TEST(QuickFilters, DriftFilterByExtensionThenExecuteBits)
{
    EXPECT_EQ(quickDriftFilter(Ctx("/nonexistent/lib.SO", "SO").ctx.get()), 1) << "lower-cased";
    TempFile log("app.LOG", 0755);
    EXPECT_EQ(quickDriftFilter(Ctx(log.path, "LOG").ctx.get()), 0) << "logs never pass";
    TempFile plain("data", 0644);
    EXPECT_EQ(quickDriftFilter(Ctx(plain.path, "").ctx.get()), 0);
    chmod(plain.path.c_str(), 0700);
    EXPECT_EQ(quickDriftFilter(Ctx(plain.path, "").ctx.get()), 1);
    TempFile txt("notes.txt", 0640);
    EXPECT_EQ(quickDriftFilter(Ctx(txt.path, "txt").ctx.get()), 0) << "other extensions by mode";

    std::string link = plain.path + ".lnk";
    ASSERT_EQ(symlink("/usr/bin/true", link.c_str()), 0);
    EXPECT_EQ(quickDriftFilter(Ctx(link, "").ctx.get()), 1) << "a link's own mode bits (0777)";
    unlink(link.c_str());
    EXPECT_EQ(quickDriftFilter(Ctx("/nonexistent/x", "").ctx.get()), 0) << "unreadable status";
}

TEST(QuickFilters, MonitoredPrefixes)
{
    const char* list = "/opt/app;;/srv";
    EXPECT_EQ(quickIMFilter(Ctx("/srv/www/x.txt", "txt", list).ctx.get()), 1);
    EXPECT_EQ(quickIMFilter(Ctx("/srvx/a", "", list).ctx.get()), 1) << "a byte prefix, not a directory";
    EXPECT_EQ(quickIMFilter(Ctx("/home/x.txt", "txt", list).ctx.get()), 0);
    EXPECT_EQ(quickIMFilter(Ctx("/home/x.PY", "PY", "").ctx.get()), 1) << "executable extension";
    EXPECT_EQ(quickIMFilter(Ctx("/opt/App/x", "", list).ctx.get()), 0) << "case-sensitive";
    EXPECT_EQ(quickIMFilter(Ctx("/anything", "", "").ctx.get()), 0) << "an empty list passes nothing";
}
