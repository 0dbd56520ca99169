// One pruning pass on this machine, as the agent and bw2ctl prune run it: the cache's volume is looked up
// in the mount table given, the sizes are the real disk's.

#include "pruning_pass.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace bw;
using bw::test::TempDir;

TEST(PruningPass, TheCachesVolumeComesFromTheMountTableAndItsSizesFromTheDisk) {
    struct Case {
        const char* what;
        bool volumeListed;
        bool cacheOnVolume;
    };
    const Case cases[] = {
        {"a volume's cache, the volume mounted", true, true},
        {"the same folder, not a mount point", false, false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string volume = dir / "volume";
        const std::string cache = volume + "/.Binwarden2Cache/" + std::to_string(getuid());
        bw::test::makeDirs(cache);
        std::string table = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n";
        if (c.volumeListed)
            table += "2 1 8:17 / " + volume + " rw - ext4 /dev/sdb1 rw\n";
        bw::test::writeFile(dir / "mountinfo", table);
        AgentSettings settings;
        settings.cacheLifeInDays = 3;
        settings.percentFreeSpaceMini = 0;

        PruneReport report = runPruningPass(cache, settings, getuid(), dir / "mountinfo");
        EXPECT_TRUE(report.measured) << c.what;
        EXPECT_GT(report.totalBytes, 0u) << c.what;
        EXPECT_EQ(report.volumePath, c.cacheOnVolume ? volume + "/" : "/") << c.what;
        EXPECT_EQ(report.space.verdict, SpaceVerdict::Enough) << c.what;
    }
}
