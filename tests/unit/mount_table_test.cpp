// Host mode's reading of the mount table and its choice of mounts.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "driver/mount_table.h"

using drv::fan::MountEntry;

namespace {

const char* const kTable =
    "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
    "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "24 26 0:22 / /dev/shm rw,relatime - tmpfs tmpfs rw\n"
    "29 24 0:26 / /dev/shm rw,relatime - tmpfs tmpfs rw\n"  // covers the one below it
    "30 26 0:27 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
    "31 26 0:28 /sub /srv/my\\040disk\\134x rw master:3 - vfat /dev/sdb1 rw\n"
    "32 26 0:29 / /var/lib/c rw - overlay overlay rw\n"
    "garbage line\n"
    "33 26 0:30 / /nosep rw tmpfs none rw\n";

std::string points(const std::vector<MountEntry>& v)
{
    std::string out;
    for (const auto& m : v) out += (out.empty() ? "" : " ") + m.point + "=" + m.fstype + "#" + std::to_string(m.id);
    return out;
}

}  // namespace

TEST(MountTable, ParsesLinesDecodesEscapesSkipsBrokenOnes)
{
    auto t = drv::fan::parse_mountinfo(kTable);
    EXPECT_EQ(points(t), "/proc=proc#21 /=ext4#26 /dev/shm=tmpfs#24 /dev/shm=tmpfs#29 /sys/fs/cgroup=cgroup2#30 "
                         "/srv/my disk\\x=vfat#31 /var/lib/c=overlay#32");
    EXPECT_EQ(t[5].major * 1000 + t[5].minor, 28u);
    EXPECT_EQ(drv::fan::unescape_mount_path("a\\011b\\012\\08\\"), "a\tb\n\\08\\");
}

TEST(MountTable, ChoosesByTypeOrByPoint)
{
    auto t = drv::fan::parse_mountinfo(kTable);
    struct Case {
        std::vector<std::string> points, types;
        int err;
        std::string want;  // the mounts chosen, or the text of the refusal
    } cases[] = {
        {{}, {"ext4", "tmpfs", "vfat", "proc", "cgroup2"}, 0, "/=ext4#26 /dev/shm=tmpfs#29 /srv/my disk\\x=vfat#31"},
        {{}, {"xfs"}, ENOENT, "no mount of the types xfs to watch"},
        {{"/dev/shm", "/srv/my disk\\x", "/dev/shm"}, {}, 0, "/dev/shm=tmpfs#29 /srv/my disk\\x=vfat#31"},
        {{"/", "/srv"}, {"ext4"}, EINVAL, "/srv is not a mount point"},
        {{"/proc"}, {}, EPERM, "/proc is a proc file system, which is never watched"},
        {{"/sys/fs/cgroup"}, {}, EPERM, "/sys/fs/cgroup is a cgroup2 file system, which is never watched"},
    };
    for (const auto& c : cases) {
        std::vector<MountEntry> out;
        std::string why;
        int err = drv::fan::select_mounts(t, c.points, c.types, &out, &why);
        EXPECT_EQ(err, c.err) << c.want;
        EXPECT_EQ(err ? why : points(out), c.want);
    }
}

TEST(MountTable, RefusesTheInitialNamespaceUnlessAllowed)
{
    // Told by the namespace links, else by a mount id in both tables.
    const std::string mine = "mnt:[4026532001]", init = "mnt:[4026531832]";
    const std::string other = "67 66 254:0 / / rw - ext4 /dev/vda rw\n68 67 0:24 / /run rw - tmpfs t rw\n";
    struct Case {
        std::string own_link, init_link, own_table;
        bool allowed;
        std::string refusal;  // empty: watched
    } cases[] = {
        {mine, init, kTable, false, ""},
        {init, init, other, false, "refusing to watch the initial mount namespace without --watch-initial-namespace"},
        {init, init, other, true, ""},
        {mine, "", other, false, ""},
        {"", init, kTable, false, "refusing to watch the initial mount namespace without --watch-initial-namespace"},
        {mine, "", "", false,
         "cannot tell whether this is the initial mount namespace (--watch-initial-namespace to watch anyway)"},
    };
    for (const auto& c : cases) {
        std::string why;
        int err = drv::fan::check_namespace(c.own_link, c.init_link, c.own_table, kTable, c.allowed, &why);
        EXPECT_EQ(err ? why : "", c.refusal) << c.own_link << " " << c.init_link;
        EXPECT_EQ(err, c.refusal.empty() ? 0 : EPERM);
    }
}
