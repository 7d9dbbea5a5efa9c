// The fresh file filter for the driver and the two quick filters.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "cache/drift.h"
#include "cache/drift_filters.h"
#include "unit_util.h"

namespace {

// A getfilefilter reply; returns DriftFreshFilter's result, its error text in *err.
int fresh(uint32_t pidsize, uint32_t fdsize, uint32_t id, ac_fresh_filter* out, std::string* err, size_t len = 20)
{
    char r[20] = {}, buf[128] = {};
    memcpy(r + 8, &pidsize, 4);
    memcpy(r + 12, &fdsize, 4);
    memcpy(r + 16, &id, 4);
    int rc = DriftFreshFilter(r, len, out, buf, sizeof buf);
    *err = buf;
    return rc;
}

int bits(const uint8_t* map, size_t n)
{
    int set = 0;
    for (size_t i = 0; i < n; i++) set += __builtin_popcount(map[i]);
    return set;
}

// A decision context for one path and extension (ac_decision_ctx is large: on the heap).
std::unique_ptr<ac_decision_ctx> ctx(const std::string& path, const char* ext, const char* basedir = "")
{
    auto c = std::make_unique<ac_decision_ctx>();
    ac_copy_path(c->realpath, path.c_str());
    strcpy(c->fileExtension, ext);
    c->basedir = basedir;
    return c;
}

}  // namespace

TEST(FreshFilter, BitmapsIndexPidAndDescriptorModulo256)
{
    DriftClear();
    ac_fresh_filter rec;
    std::string err;
    ASSERT_EQ(fresh(32, 32, 0xABCDEF, &rec, &err), 0);
    EXPECT_EQ(rec.id, 0xABCDEFu) << "an empty tracker still echoes the id";
    EXPECT_EQ(bits(rec.pids, sizeof rec.pids) + bits(rec.fds, sizeof rec.fds), 0);

    DriftOpen(300, 9);
    DriftOpen(5, 0);
    DriftOpen(261, 256 + 17);
    ASSERT_EQ(fresh(32, 32, 7, &rec, &err), 0);
    EXPECT_EQ(memcmp(rec.command, "\"setfilefilter\"", 16), 0);
    EXPECT_EQ(rec.id, 7u);
    EXPECT_TRUE(rec.pids[5] & 1 << 4) << "pid 300: byte 5, bit 4";
    EXPECT_TRUE(rec.fds[1] & 1 << 1) << "fd 9: byte 1, bit 1";
    EXPECT_TRUE(rec.pids[0] & 1 << 5) << "pids 5 and 261 share a bit";
    EXPECT_TRUE(rec.fds[2] & 1 << 1) << "fd 273 wraps to 17";
    EXPECT_EQ(bits(rec.pids, sizeof rec.pids), 2);
    DriftClear();
}

TEST(FreshFilter, RefusalsAndTheirCounters)
{
    ac_fresh_filter rec;
    std::string err;
    uint64_t newfilter = drift.counters[DRIFT_newfilter];
    EXPECT_EQ(fresh(32, 32, 1, &rec, &err, 19), -1);
    EXPECT_EQ(err, "missing getfilefilter args (19)");
    EXPECT_EQ(drift.counters[DRIFT_newfilter], newfilter) << "too short: not counted";
    char buf[64];
    EXPECT_EQ(DriftFreshFilter(nullptr, 0, &rec, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "missing getfilefilter");

    drift.counters[DRIFT_dirt] = 5;
    EXPECT_EQ(fresh(64, 32, 1, &rec, &err), -1);
    EXPECT_EQ(err, "pidsize 64 != 32");
    EXPECT_EQ(drift.counters[DRIFT_newfilter], newfilter + 1) << "counted before the size tests";
    EXPECT_EQ(drift.counters[DRIFT_dirt], 0u);
    EXPECT_EQ(fresh(32, 16, 1, &rec, &err), -1);
    EXPECT_EQ(err, "fdsize 16 != 32");
}

TEST(QuickFilters, DriftFilterByExtensionThenExecuteBits)
{
    TempDir d("filters");
    const std::string log = d.file("app.LOG", "", 0755), plain = d.file("data", "", 0644), link = d / "lnk";
    EXPECT_EQ(quickDriftFilter(ctx("/nonexistent/lib.SO", "SO").get()), 1) << "lower-cased";
    EXPECT_EQ(quickDriftFilter(ctx(log, "LOG").get()), 0) << "logs never pass";
    EXPECT_EQ(quickDriftFilter(ctx(plain, "").get()), 0);
    chmod(plain.c_str(), 0700);
    EXPECT_EQ(quickDriftFilter(ctx(plain, "").get()), 1);
    EXPECT_EQ(quickDriftFilter(ctx(d.file("notes.txt", "", 0640), "txt").get()), 0) << "other extensions by mode";
    ASSERT_EQ(symlink("/usr/bin/true", link.c_str()), 0);
    EXPECT_EQ(quickDriftFilter(ctx(link, "").get()), 1) << "a link's own mode bits (0777)";
    EXPECT_EQ(quickDriftFilter(ctx("/nonexistent/x", "").get()), 0) << "unreadable status";
}

TEST(QuickFilters, MonitoredPrefixes)
{
    const char* list = "/opt/app;;/srv";
    EXPECT_EQ(quickIMFilter(ctx("/srv/www/x.txt", "txt", list).get()), 1);
    EXPECT_EQ(quickIMFilter(ctx("/srvx/a", "", list).get()), 1) << "a byte prefix, not a directory";
    EXPECT_EQ(quickIMFilter(ctx("/home/x.txt", "txt", list).get()), 0);
    EXPECT_EQ(quickIMFilter(ctx("/home/x.PY", "PY", "").get()), 1) << "executable extension";
    EXPECT_EQ(quickIMFilter(ctx("/opt/App/x", "", list).get()), 0) << "case-sensitive";
    EXPECT_EQ(quickIMFilter(ctx("/anything", "", "").get()), 0) << "an empty list passes nothing";
}
