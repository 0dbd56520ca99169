#include "daemon.h"
#include "fd_utils.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using bw::Daemon;
using bw::UniqueFd;
using bw::test::readFile;
using bw::test::TempDir;
using bw::test::writeFile;

namespace {

std::optional<bool> isImmutable(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK));
    int flags = 0;
    if (!fd || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return std::nullopt;
    return (flags & FS_IMMUTABLE_FL) != 0;
}

} // namespace

TEST(DaemonFiles, SetLockUsesTheImmutableFlag) {
    TempDir tmp("bw2lock");
    EXPECT_EQ(-35, Daemon::setLock(true, tmp / "missing"));

    // Outside any /dev/ path, a name containing "dev" is left alone.
    writeFile(tmp / "device list.txt", "x");
    EXPECT_EQ(0, Daemon::setLock(true, tmp / "device list.txt"));
    EXPECT_EQ(std::optional<bool>(false), isImmutable(tmp / "device list.txt"));

    writeFile(tmp / "f", "x");
    if (geteuid() != 0 || !isImmutable(tmp / "f"))
        GTEST_SKIP() << "needs root and a file system with flags";
    EXPECT_EQ(0, Daemon::setLock(true, tmp / "f"));
    EXPECT_EQ(std::optional<bool>(true), isImmutable(tmp / "f"));
    EXPECT_EQ(0, Daemon::setLock(false, tmp / "f"));
    EXPECT_EQ(std::optional<bool>(false), isImmutable(tmp / "f"));

    // A link is never followed: its target keeps its flags.
    fs::create_symlink(tmp / "f", tmp / "link");
    EXPECT_EQ(0, Daemon::setLock(true, tmp / "link"));
    EXPECT_EQ(std::optional<bool>(false), isImmutable(tmp / "f"));
}

TEST(DaemonFiles, FolderSizeCountsDataBelowAFolderWithoutFollowingLinks) {
    TempDir tmp("bw2size");
    fs::create_directories(tmp / "empty");
    EXPECT_EQ(0u, Daemon::getFolderSize(tmp / "empty"));
    EXPECT_EQ(0u, Daemon::getFolderSize(tmp / "missing"));

    fs::create_directories(tmp / "f/sub/deep");
    writeFile(tmp / "f/ten", "0123456789");
    writeFile(tmp / "f/sub/five", "01234");
    EXPECT_EQ(15u, Daemon::getFolderSize(tmp / "f"));

    // A link counts its own size, not its target's.
    writeFile(tmp / "big", std::string(100000, 'x'));
    fs::create_symlink(tmp / "big", tmp / "f/sub/deep/l");
    fs::create_directory_symlink(tmp.path(), tmp / "f/loop");
    const auto linkSize = static_cast<std::uint64_t>((tmp / "big").size() + tmp.path().size());
    EXPECT_EQ(15u + linkSize, Daemon::getFolderSize(tmp / "f"));
}

TEST(DaemonFiles, DiskIsFullFollowsThePercentRule) {
    const std::uint64_t total = 100'000'000'000ull;
    EXPECT_TRUE(Daemon::diskIsFull(4'000'000'000ull, total, 5));
    EXPECT_FALSE(Daemon::diskIsFull(5'000'000'000ull, total, 5));
    EXPECT_FALSE(Daemon::diskIsFull(total / 2, total, 0));
    EXPECT_TRUE(Daemon::diskIsFull(0, total, 0)) << "no free megabyte is full";
    EXPECT_TRUE(Daemon::diskIsFull(0, 0, 0)) << "unreadable attributes are full";
    EXPECT_TRUE(Daemon::diskIsFull(total - 1'000'000, total, 100));
}

TEST(DaemonFiles, PathsAreOpenedWithoutFollowingLinksWhenAsked) {
    TempDir tmp("bw2open");
    fs::create_directories(tmp / "real/files");
    fs::create_directory_symlink(tmp / "real", tmp / "link");
    // A link root made in a folder of root's is trusted (like "/home -> /var/home"); one of a user's is not.
    if (geteuid() == 0) {
        ASSERT_EQ(0, lchown((tmp / "link").c_str(), 4000123, 4000123));
    }
    EXPECT_TRUE(bw::openDirectoryPath(tmp / "real/files/", true).valid());
    EXPECT_FALSE(bw::openDirectoryPath(tmp / "link/files/", true).valid());
    EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR);
    EXPECT_TRUE(bw::openDirectoryPath(tmp / "link/files/", false).valid());
    EXPECT_FALSE(bw::openDirectoryPath(tmp / "real/../real/files", true).valid());
    EXPECT_EQ("/a/b", bw::withoutTrailingSlashes("/a/b//"));
    EXPECT_EQ("/", bw::withoutTrailingSlashes("///"));
}

TEST(DaemonFiles, RemoveTreeRemovesContentsButNotLinkTargets) {
    TempDir tmp("bw2rm");
    fs::create_directories(tmp / "keep");
    writeFile(tmp / "keep/precious", "p");
    fs::create_directories(tmp / "tree/a/b");
    writeFile(tmp / "tree/a/b/f", "x");
    fs::create_directory_symlink(tmp / "keep", tmp / "tree/a/tokeep");
    UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_TRUE(bw::removeTreeAt(dir.get(), "tree"));
    EXPECT_FALSE(fs::exists(tmp / "tree"));
    EXPECT_EQ("p", readFile(tmp / "keep/precious"));
    EXPECT_TRUE(bw::removeTreeAt(dir.get(), "never-there"));
}
