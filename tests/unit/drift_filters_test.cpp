// The fresh file filter for the driver and the two quick filters.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "cache/drift.h"
#include "cache/drift_filters.h"
#include "unit_util.h"

namespace {

// DriftFreshFilter on a getfilefilter reply of `len` bytes: its result, its error text in *err.
int fresh(uint32_t pidsize, uint32_t fdsize, uint32_t id, ac_fresh_filter* out, std::string* err, size_t len = 20)
{
    char r[20] = {}, buf[128] = {};
    const uint32_t words[] = {pidsize, fdsize, id};
    memcpy(r + 8, words, sizeof words);
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

TEST(FreshFilter, BitmapsIndexPidAndDescriptorModulo256AndRefusals)
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

    // Too short: not counted; wrong sizes: counted (and the dirt reset) before the size tests.
    EXPECT_EQ(fresh(32, 32, 1, &rec, &err, 19), -1);
    EXPECT_EQ(err, "missing getfilefilter args (19)");
    EXPECT_EQ(drift.counters[DRIFT_newfilter], 0u);
    drift.counters[DRIFT_dirt] = 5;
    EXPECT_EQ(fresh(64, 32, 1, &rec, &err), -1);
    EXPECT_EQ(err, "pidsize 64 != 32");
    EXPECT_EQ(drift.counters[DRIFT_newfilter] * 10 + drift.counters[DRIFT_dirt], 10u);
    EXPECT_EQ(fresh(32, 16, 1, &rec, &err), -1);
    EXPECT_EQ(err, "fdsize 16 != 32");
    DriftClear();
}

TEST(QuickFilters, DriftFilterByExtensionThenExecuteBitsAndMonitoredPrefixes)
{
    TempDir d("filters");
    const std::string log = d.file("app.LOG", "", 0755), plain = d.file("data", "", 0644), link = d / "lnk";
    ASSERT_EQ(symlink("/usr/bin/true", link.c_str()), 0);
    const struct { std::string path; const char* ext; int want; const char* why; } drift_cases[] = {
        {"/nonexistent/lib.SO", "SO", 1, "lower-cased"}, {log, "LOG", 0, "logs never pass"},
        {plain, "", 0, "mode 0644"}, {d.file("x", "", 0700), "", 1, "mode 0700"},
        {d.file("notes.txt", "", 0640), "txt", 0, "other extensions by mode"},
        {link, "", 1, "a link's own mode bits (0777)"}, {"/nonexistent/x", "", 0, "unreadable status"},
    };
    for (const auto& c : drift_cases) EXPECT_EQ(quickDriftFilter(ctx(c.path, c.ext).get()), c.want) << c.why;

    const char* list = "/opt/app;;/srv";
    const struct { const char *path, *ext, *list; int want; const char* why; } im_cases[] = {
        {"/srv/www/x.txt", "txt", list, 1, "prefix"}, {"/srvx/a", "", list, 1, "a byte prefix, not a directory"},
        {"/home/x.txt", "txt", list, 0, "elsewhere"}, {"/home/x.PY", "PY", "", 1, "executable extension"},
        {"/opt/App/x", "", list, 0, "case-sensitive"}, {"/anything", "", "", 0, "an empty list passes nothing"},
    };
    for (const auto& c : im_cases) EXPECT_EQ(quickIMFilter(ctx(c.path, c.ext, c.list).get()), c.want) << c.why;
}
