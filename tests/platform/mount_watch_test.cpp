// The mount watch: mount points that appear are reported once, those that go are forgotten, first on a
// table file the test writes, then (as root) on the kernel's own table with real tmpfs mounts.

#include "mount_watch.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace bw;
using bw::test::TempDir;

namespace {

std::string line(int id, const std::string& mountPoint) {
    return std::to_string(id) + " 1 8:1 / " + mountPoint + " rw - ext4 /dev/sdx" + std::to_string(id) + " rw\n";
}

// Mounts made here stay in a private mount namespace of the test process.
bool enterPrivateMountNamespace() {
    static const bool done =
        ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return done;
}

} // namespace

TEST(MountWatch, ReportsEachMountPointOnceAndForgetsThoseThatWent) {
    TempDir dir;
    const std::string table = dir / "mountinfo";
    bw::test::writeFile(table, line(1, "/") + line(2, "/media/me/Old"));
    MountWatch watch(table);
    ASSERT_TRUE(watch.valid());
    EXPECT_GE(watch.descriptor(), 0);

    struct Step {
        const char* what;
        std::string table;
        std::vector<std::string> appeared;
    };
    const Step steps[] = {
        {"nothing changed", line(1, "/") + line(2, "/media/me/Old"), {}},
        {"one appended", line(1, "/") + line(2, "/media/me/Old") + line(3, "/media/me/USB"), {"/media/me/USB"}},
        {"asked again", line(1, "/") + line(2, "/media/me/Old") + line(3, "/media/me/USB"), {}},
        {"two at once, escaped names unescaped, sorted",
         line(1, "/") + line(2, "/media/me/Old") + line(3, "/media/me/USB") + line(5, "/run/media/me/Z") +
             line(4, "/media/me/My\\040Disk"),
         {"/media/me/My Disk", "/run/media/me/Z"}},
        {"one unmounted",
         line(1, "/") + line(3, "/media/me/USB") + line(5, "/run/media/me/Z") + line(4, "/media/me/My\\040Disk"),
         {}},
        {"mounted again is new again",
         line(1, "/") + line(3, "/media/me/USB") + line(5, "/run/media/me/Z") + line(4, "/media/me/My\\040Disk") +
             line(6, "/media/me/Old"),
         {"/media/me/Old"}},
        {"a table that cannot be parsed has nothing new", "garbage\n", {}},
    };
    for (const Step& step : steps) {
        bw::test::writeFile(table, step.table);
        EXPECT_EQ(watch.newMountPoints(), step.appeared) << step.what;
    }
}

TEST(MountWatch, AMissingTableIsInvalidAndNeverChanges) {
    TempDir dir;
    MountWatch watch(dir / "no-such-table");
    EXPECT_FALSE(watch.valid());
    EXPECT_EQ(watch.descriptor(), -1);
    EXPECT_FALSE(watch.waitForChange(std::chrono::milliseconds(10)));
    EXPECT_TRUE(watch.newMountPoints().empty());
}

TEST(MountWatch, TheKernelTableSignalsRealMountsAndUnmounts) {
    if (::getuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    ASSERT_TRUE(enterPrivateMountNamespace());
    TempDir dir;
    const std::string point = dir / "volume";
    bw::test::makeDirs(point);
    MountWatch watch;
    ASSERT_TRUE(watch.valid());
    EXPECT_TRUE(watch.newMountPoints().empty()) << "nothing changed since the watch began";
    EXPECT_FALSE(watch.waitForChange(std::chrono::milliseconds(0)));

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(::mount("tmpfs", point.c_str(), "tmpfs", 0, "size=1m"), 0);
        ASSERT_TRUE(watch.waitForChange(std::chrono::seconds(10)));
        EXPECT_EQ(watch.newMountPoints(), std::vector<std::string>{point});
        // Acknowledged: the descriptor is quiet until the next change.
        EXPECT_FALSE(watch.waitForChange(std::chrono::milliseconds(0)));
        ASSERT_EQ(::umount(point.c_str()), 0);
        ASSERT_TRUE(watch.waitForChange(std::chrono::seconds(10)));
        EXPECT_TRUE(watch.newMountPoints().empty());
    }
}
