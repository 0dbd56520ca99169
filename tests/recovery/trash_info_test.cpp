// The trash record parser: what counts as an original path, and what hostile records give.

#include "store/cache_index.h"
#include "temp_dir.h"
#include "store/trash_info.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string record(const std::string& pathLine) {
    return "[Trash Info]\n" + pathLine + "\nDeletionDate=2026-12-06T09:05:00\n";
}

TEST(TrashInfo, OriginalPathFromRecord) {
    struct Case {
        const char* what;
        std::string text;
        std::string volumeTop;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"absolute", record("Path=/home/u/report.txt"), "", "/home/u/report.txt"},
        {"percent-encoded", record("Path=/home/u/%C3%89cole%20notes/a%25b.txt"), "", "/home/u/École notes/a%b.txt"},
        {"relative on a volume", record("Path=photos/x.jpg"), "/media/u/USB", "/media/u/USB/photos/x.jpg"},
        {"relative in the home trash", record("Path=photos/x.jpg"), "", std::nullopt},
        {"double slashes collapse", record("Path=//home//u/x"), "", "/home/u/x"},
        {"CRLF lines and spaces", "[Trash Info]\r\nPath = /a/b \r\n", "", "/a/b"},
        {"other groups ignored", "[Other]\nPath=/evil\n[Trash Info]\nPath=/good\n", "", "/good"},
        {"dot-dot", record("Path=/home/u/../../etc/shadow"), "", std::nullopt},
        {"encoded dot-dot", record("Path=/home/u/%2E%2E/x"), "", std::nullopt},
        {"relative dot-dot", record("Path=../etc/x"), "/media/u/USB", std::nullopt},
        {"dot component", record("Path=/home/./u"), "", std::nullopt},
        {"not UTF-8", record("Path=/home/u/%FF%FE.txt"), "", std::nullopt},
        {"raw bytes not UTF-8", record("Path=/home/u/\xff.txt"), "", std::nullopt},
        {"control character", record("Path=/home/u/a%0Ab"), "", std::nullopt},
        {"NUL", record("Path=/home/u/a%00b"), "", std::nullopt},
        {"bad escape", record("Path=/home/u/a%zz"), "", std::nullopt},
        {"cut escape", record("Path=/home/u/a%4"), "", std::nullopt},
        {"two paths", record("Path=/a\nPath=/b"), "", std::nullopt},
        {"no group", "Path=/home/u/x\n", "", std::nullopt},
        {"root itself", record("Path=/"), "", std::nullopt},
        {"empty", record("Path="), "", std::nullopt},
        {"100 KB long", record("Path=/" + std::string(100 * 1024, 'a')), "", std::nullopt},
        {"component too long", record("Path=/home/" + std::string(300, 'a')), "", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bw::originalPathFromTrashInfo(c.text, c.volumeTop), c.expected) << c.what;
}

TEST(TrashInfo, ReadsOnlyARegularRecordOfBoundedSize) {
    bw::test::TempDir info;
    bw::test::writeFile(info / "good.txt.trashinfo", record("Path=/home/u/good.txt"));
    bw::test::writeFile(info / "big.trashinfo", record("Path=/x") + std::string(bw::kMaxTrashInfoSize, '#'));
    bw::test::writeFile(info / "target", record("Path=/home/u/secret"));
    ASSERT_EQ(::symlink((info / "target").c_str(), (info / "link.trashinfo").c_str()), 0);
    ASSERT_EQ(::mkfifo((info / "fifo.trashinfo").c_str(), 0600), 0);
    bw::test::makeDirs(info / "dir.trashinfo");
    const int fd = ::open(info.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct Case {
        const char* name;
        std::optional<std::string> expected;
    };
    const Case cases[] = {{"good.txt", "/home/u/good.txt"}, {"big", std::nullopt}, {"link", std::nullopt},
                          {"fifo", std::nullopt},           {"dir", std::nullopt}, {"missing", std::nullopt},
                          {"../target", std::nullopt}};
    for (const Case& c : cases)
        EXPECT_EQ(bw::readTrashInfoOriginalPathAt(fd, c.name, "", ::getuid(), ::getgid()), c.expected) << c.name;
    ::close(fd);
}

TEST(TrashInfo, OriginalPathTravelsInTheIndexAndOldEntriesStayWithout) {
    bw::test::TempDir batch;
    bw::BWCacheIndex index;
    index.setIndexTable(bw::BWIndexTable{{"A", {"a.txt", 1.0, "/home/u/a.txt"}}, {"B", {"b.txt", 2.0}}});
    ASSERT_TRUE(bw::writeCacheIndex(index, batch.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    const auto read = bw::readCacheIndex(batch.path());
    ASSERT_TRUE(read && read->indexTable());
    EXPECT_EQ(read->indexTable()->at("A").originalPath, std::optional<std::string>("/home/u/a.txt"));
    EXPECT_FALSE(read->indexTable()->at("B").originalPath);
    EXPECT_EQ(*read->indexTable(), *index.indexTable());
}

} // namespace
