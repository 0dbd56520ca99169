// Which trash names the daemon leaves alone: the user's name and extension rules and the size limit.

#include "daemon.h"
#include "name_filter.h"
#include "temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace bw;
using bw::test::TempDir;
using bw::test::writeFile;

TEST(DaemonFilters, NameAndExtensionRulesIgnoreCase) {
    Daemon daemon;
    EXPECT_FALSE(daemon.isFiltered("anything"));
    daemon.setFilters({{1, "Draft"}, {2, "BAK"}, {5, "other"}});
    EXPECT_TRUE(daemon.isFiltered("my draft.txt"));
    EXPECT_TRUE(daemon.isFiltered("DRAFTS"));
    EXPECT_FALSE(daemon.isFiltered("notes.draft")) << "type 1 looks at the name without its extension";
    EXPECT_TRUE(daemon.isFiltered("a.bak"));
    EXPECT_TRUE(daemon.isFiltered("a.Bak"));
    EXPECT_FALSE(daemon.isFiltered("bak.txt"));
    EXPECT_FALSE(daemon.isFiltered("other.txt")) << "unknown filter types match nothing";

    daemon.setFilters({{1, ""}});
    EXPECT_FALSE(daemon.isFiltered("x.txt")) << "an empty name rule matches nothing";
    daemon.setFilters({{2, ""}});
    EXPECT_TRUE(daemon.isFiltered("README"));
    EXPECT_FALSE(daemon.isFiltered("x.txt"));

    // Case folding reaches beyond ASCII.
    daemon.setFilters({{1, "ÉTÉ"}});
    EXPECT_TRUE(daemon.isFiltered("photos d'été.jpg"));
}

TEST(DaemonNameFilter, BytesThatAreNotUtf8MatchOnlyThemselves) {
    struct Case {
        std::vector<FilterEntry> filters;
        std::string name;
        bool filtered;
    };
    const Case cases[] = {
        {{{1, "\xff"}}, "a\xff" "b.txt", true},
        {{{1, "\xff"}}, "a\xfe" "b.txt", false},
        {{{1, "\xc3"}}, "\xc3\xa9t\xc3\xa9", false}, // a lone lead byte is not part of a whole character
        {{{2, "\xff"}}, "x.\xff", true},
        {{{2, "\xff"}}, "x.\xdf", false},
        {{{1, "\xe9"}}, "\xc3\xa9t\xc3\xa9", false}, // a Latin-1 byte is not the character it stands for there
    };
    for (const Case& c : cases) {
        NameFilter filter;
        filter.setFilters(c.filters);
        EXPECT_EQ(c.filtered, filter.isFiltered(c.name)) << c.filters[0].rule << " / " << c.name;
    }
}

TEST(DaemonNameFilter, OnlyRegularFilesPastTheLimitAreTooLarge) {
    TempDir tmp("bw2namefilter");
    // Sparse files: their size is what counts, not what they occupy.
    auto sized = [&](const char* name, off_t bytes) {
        writeFile(tmp / name, "");
        ASSERT_EQ(0, ::truncate((tmp / name).c_str(), bytes));
    };
    sized("under", 1999999);
    sized("over", 2000000);
    ASSERT_EQ(0, ::mkdir((tmp / "folder").c_str(), 0755));
    ASSERT_EQ(0, ::symlink((tmp / "over").c_str(), (tmp / "link").c_str()));
    UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);

    struct Case {
        std::int64_t limitMB;
        const char* name;
        unsigned char type;
        bool tooLarge;
    };
    const Case cases[] = {
        {0, "over", DT_REG, false},      // no limit
        {-2, "over", DT_REG, false},     // no limit either
        {1, "under", DT_REG, false},     // whole megabytes: 1.99 MB is 1 MB
        {1, "over", DT_REG, true},
        {1, "over", DT_UNKNOWN, true},   // a listing without types is looked up
        {1, "folder", DT_DIR, false},    // folders are kept whatever they hold
        {1, "link", DT_LNK, false},      // a link is never its target
        {1, "link", DT_UNKNOWN, false},  // not even when the listing did not say what it is
        {1, "missing", DT_REG, false},   // gone meanwhile: left to the transfer
        {2, "over", DT_REG, false},
    };
    for (const Case& c : cases) {
        NameFilter filter;
        filter.setSizeLimitMB(c.limitMB);
        EXPECT_EQ(c.tooLarge, filter.isTooLargeAt(dir.get(), c.name, c.type))
            << c.name << " against " << c.limitMB << " MB";
    }

    // The daemon's command-line limit is the filter's.
    Daemon daemon;
    daemon.setFileMBSizeLimitation(7);
    EXPECT_EQ(7, daemon.fileMBSizeLimitation());
}
