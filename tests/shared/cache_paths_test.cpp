#include "store/cache_paths.h"
#include "plist/reference_time.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <set>

namespace {

using bw::test::TempDir;

TEST(CachePaths, CacheFolderForBothLayouts) {
    // Home trash (the freedesktop files folder lies under the home folder).
    EXPECT_EQ(bw::cacheFolderFor("/home/ann/.local/share/Trash/files/", "/home/ann/", "/home/ann", 1000),
              "/home/ann/.Binwarden2Cache");
    EXPECT_EQ(bw::cacheFolderFor("/home/ann/.local/share/Trash/files/", "/home/ann", "/home/ann", 1000),
              "/home/ann/.Binwarden2Cache");
    // A trash equal to the home folder still counts; a mere prefix of another name too (character rule).
    EXPECT_EQ(bw::cacheFolderFor("/home/ann", "/home/ann/", "/home/ann", 1000), "/home/ann/.Binwarden2Cache");
    // Another volume: the shared folder with one sub-folder per user.
    EXPECT_EQ(bw::cacheFolderFor("/media/ann/USB/.Trash-1000/files/", "/media/ann/USB/", "/home/ann", 1000),
              "/media/ann/USB/.Binwarden2Cache/1000");
    EXPECT_EQ(bw::cacheFolderFor("/.Trash-1000/files/", "/", "/home/ann", 1000), "/.Binwarden2Cache/1000");
    // Shorter than the home folder: volume layout.
    EXPECT_EQ(bw::cacheFolderFor("/home/an", "/mnt/x/", "/home/ann", 7), "/mnt/x/.Binwarden2Cache/7");
}

TEST(CachePaths, BatchFolderNameInTwoTimeZones) {
    const char* saved = std::getenv("TZ");
    const std::string savedTz = saved ? saved : "";
    // 2026-12-06 08:05:30 UTC
    const std::time_t when = 1796544330;
    setenv("TZ", "CET-1", 1);
    tzset();
    EXPECT_EQ(bw::batchFolderName(when), "2026-12-06 09_05 +0100");
    setenv("TZ", "<-0330>3:30", 1);
    tzset();
    EXPECT_EQ(bw::batchFolderName(when), "2026-12-06 04_35 -0330");
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(bw::batchFolderName(when + 59 - 30), "2026-12-06 08_05 +0000"); // same minute, same folder
    if (saved)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(CachePaths, StoredItemNamesAreFreshUpperCaseUuids) {
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string name = bw::newStoredItemName();
        ASSERT_TRUE(std::regex_match(name, uuid)) << name;
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

void setTimes(const std::string& path, double referenceSeconds) {
    const double unixSeconds = bw::unixFromReferenceTime(referenceSeconds);
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(unixSeconds);
    times[0].tv_nsec = times[1].tv_nsec = static_cast<long>((unixSeconds - static_cast<double>(times[0].tv_sec)) * 1e9);
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(CachePaths, ItemKeys) {
    EXPECT_EQ(bw::itemKeyForFile(1234, "a.txt", 3.5), "1234_a.txt_4");
    EXPECT_EQ(bw::itemKeyForFile(1234, "a.txt", 2.5), "1234_a.txt_2"); // printf rounds half to even
    EXPECT_EQ(bw::itemKeyForFolder(10.4, "Photos", 786000000.6), "10_Photos_786000001");
    EXPECT_EQ(bw::itemKeyForFile(18446744073709551615ull, "big", -1.5), "18446744073709551615_big_-2");

    TempDir dir;
    bw::test::writeFile(dir / "a.txt", std::string(1234, 'x'));
    setTimes(dir / "a.txt", 3.5);
    const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bw::itemKeyAt(fd, "a.txt"), "1234_a.txt_4");
    setTimes(dir / "a.txt", 2.5);
    EXPECT_EQ(bw::itemKeyAt(fd, "a.txt"), "1234_a.txt_2");

    // A symbolic link is keyed by itself (its own size and time), not by its target.
    ASSERT_EQ(symlink("a.txt", (dir / "link").c_str()), 0);
    setTimes(dir / "link", 100.0);
    EXPECT_EQ(bw::itemKeyAt(fd, "link"), "5_link_100");

    // A folder: birth time when the file system records one, else 0; then its modification time.
    ASSERT_EQ(mkdir((dir / "Folder").c_str(), 0755), 0);
    setTimes(dir / "Folder", 200.0);
    struct statx st {};
    ASSERT_EQ(statx(fd, "Folder", AT_SYMLINK_NOFOLLOW, STATX_BTIME, &st), 0);
    const std::string creation =
        (st.stx_mask & STATX_BTIME)
            ? std::to_string(static_cast<long long>(std::llround(bw::referenceTimeFromTimespec(
                  {static_cast<time_t>(st.stx_btime.tv_sec), static_cast<long>(st.stx_btime.tv_nsec)}))))
            : "0";
    const auto key = bw::itemKeyAt(fd, "Folder");
    ASSERT_TRUE(key.has_value());
    // Rounding of the birth time may differ by one from llround only for exact halves; compare loosely there.
    EXPECT_EQ(key->substr(key->find('_')), "_Folder_200");
    EXPECT_NEAR(std::stod(key->substr(0, key->find('_'))), std::stod(creation), 1.0);

    EXPECT_FALSE(bw::itemKeyAt(fd, "missing").has_value());
    EXPECT_FALSE(bw::itemKeyAt(fd, "../a.txt").has_value());
    close(fd);
}

TEST(CachePaths, ItemKeyTimesReadAsPrintfPrintsThem) {
    // Keys recorded by earlier versions were printed with "%.0f"; a key made now must be the same text.
    const double times[] = {0.0,  -0.0,   0.4,     -0.4,     0.5,       -0.5,   1.5,     2.5,
                            -2.5, 1e9 + 0.5, 786000000.49999, 8.9e15 + 1, 9.5e15, -1e300, 1e300, 123456789012.5};
    for (double t : times) {
        char expected[400];
        std::snprintf(expected, sizeof expected, "%.0f", t);
        EXPECT_EQ(bw::itemKeyForFile(1, "n", t), std::string("1_n_") + expected) << t;
    }
}

} // namespace
