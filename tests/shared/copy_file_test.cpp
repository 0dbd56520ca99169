#include "files/copy_file.h"
#include "files/unique_fd.h"
#include "temp_dir.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using bw::KOR_CopyFile;
using bw::UniqueFd;
using bw::test::readFile;
using bw::test::TempDir;
using bw::test::writeFile;

namespace {

// Gives the item a named-user entry; false when the file system has no access lists.
bool setExtendedAcl(const std::string& path, acl_type_t type = ACL_TYPE_ACCESS) {
    acl_t acl = acl_from_text("u::rwx,u:nobody:r--,g::r-x,m::r-x,o::---");
    if (!acl)
        return false;
    bool ok = acl_set_file(path.c_str(), type, acl) == 0;
    acl_free(acl);
    return ok;
}

bool hasExtendedAccessAcl(const std::string& path) {
    return acl_extended_file_nofollow(path.c_str()) > 0;
}

UniqueFd openDir(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY));
}

bool setImmutable(const std::string& path, bool on) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK));
    int flags = 0;
    if (!fd || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

class CopyFileTest : public ::testing::Test {
protected:
    TempDir tmp{"bw2copy"};
    std::string src = tmp / "src";
    std::string dst = tmp / "dst";
    void SetUp() override {
        fs::create_directories(src);
        fs::create_directories(dst);
    }
};

} // namespace

TEST_F(CopyFileTest, CopiesAWholeTreeWithLinksModesTimesAndAttributes) {
    fs::create_directories(src + "/item/sub/deeper");
    writeFile(src + "/item/a.txt", "alpha");
    writeFile(src + "/item/sub/b.bin", std::string(200000, 'b'));
    writeFile(src + "/item/sub/deeper/c", "");
    fs::create_symlink("../a.txt", src + "/item/sub/link");
    fs::create_symlink("/etc/passwd", src + "/item/abs");
    ASSERT_EQ(0, chmod((src + "/item/a.txt").c_str(), 0640));
    ASSERT_EQ(0, chmod((src + "/item/sub").c_str(), 0710));
    ASSERT_EQ(0, setxattr((src + "/item/a.txt").c_str(), "user.note", "hello", 5, 0));
    struct timespec times[2] = {{1000000000, 0}, {1200000000, 500}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (src + "/item/a.txt").c_str(), times, 0));
    ASSERT_EQ(0, utimensat(AT_FDCWD, (src + "/item/sub").c_str(), times, 0));
    const bool acls = setExtendedAcl(src + "/item/sub/b.bin");

    KOR_CopyFile engine;
    UniqueFd s = openDir(src), d = openDir(dst);
    std::string error;
    ASSERT_EQ(KOR_CopyFile::kSuccess, engine.copyItemAt(s.get(), "item", d.get(), "STORED", true, &error)) << error;

    const std::string c = dst + "/STORED";
    EXPECT_EQ("alpha", readFile(c + "/a.txt"));
    EXPECT_EQ(std::string(200000, 'b'), readFile(c + "/sub/b.bin"));
    EXPECT_TRUE(fs::exists(c + "/sub/deeper/c"));
    EXPECT_TRUE(fs::is_symlink(c + "/sub/link"));
    EXPECT_EQ("../a.txt", fs::read_symlink(c + "/sub/link").string());
    EXPECT_EQ("/etc/passwd", fs::read_symlink(c + "/abs").string());
    struct stat st;
    ASSERT_EQ(0, stat((c + "/a.txt").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(1200000000, st.st_mtim.tv_sec);
    ASSERT_EQ(0, stat((c + "/sub").c_str(), &st));
    EXPECT_EQ(0710u, st.st_mode & 07777);
    EXPECT_EQ(1200000000, st.st_mtim.tv_sec) << "folder times are set after its contents";
    char value[16] = {};
    EXPECT_EQ(5, getxattr((c + "/a.txt").c_str(), "user.note", value, sizeof value));
    EXPECT_STREQ("hello", value);
    if (acls) {
        EXPECT_TRUE(hasExtendedAccessAcl(c + "/sub/b.bin"));
    }
    EXPECT_FALSE(fs::exists(dst + "/" + KOR_CopyFile::getKOREVTemporaryFile()));
    EXPECT_FALSE(engine.hasReplacedFile());
    EXPECT_EQ(200005, engine.getAlreadyDoneSize());
}

TEST_F(CopyFileTest, ReplacesAnExistingItemAndDropsSetIdBits) {
    writeFile(src + "/tool", "new");
    ASSERT_EQ(0, chmod((src + "/tool").c_str(), 04755));
    fs::create_directories(dst + "/NAME/inside");
    KOR_CopyFile engine;
    UniqueFd s = openDir(src), d = openDir(dst);
    ASSERT_EQ(KOR_CopyFile::kSuccess, engine.copyItemAt(s.get(), "tool", d.get(), "NAME"));
    EXPECT_TRUE(engine.hasReplacedFile());
    EXPECT_EQ("new", readFile(dst + "/NAME"));
    struct stat st;
    ASSERT_EQ(0, stat((dst + "/NAME").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
}

TEST_F(CopyFileTest, ALinkAtTheTopIsCopiedAsALink) {
    writeFile(tmp / "outside", "secret");
    fs::create_symlink(tmp / "outside", src + "/link");
    KOR_CopyFile engine;
    UniqueFd s = openDir(src), d = openDir(dst);
    ASSERT_EQ(KOR_CopyFile::kSuccess, engine.copyItemAt(s.get(), "link", d.get(), "L"));
    EXPECT_TRUE(fs::is_symlink(dst + "/L"));
    EXPECT_EQ(tmp / "outside", fs::read_symlink(dst + "/L").string());
}

TEST_F(CopyFileTest, FailuresLeaveNothingBehind) {
    KOR_CopyFile engine;
    UniqueFd s = openDir(src), d = openDir(dst);
    EXPECT_EQ(KOR_CopyFile::kUnreachable, engine.copyItemAt(s.get(), "missing", d.get(), "X"));

    // A leftover of an earlier interrupted copy goes before the next copy starts.
    fs::create_directories(dst + "/" + KOR_CopyFile::getKOREVTemporaryFile() + "/junk");
    fs::create_directories(src + "/tree/a/b");
    writeFile(src + "/tree/a/b/f", "x");
    KOR_CopyFile interrupted;
    interrupted.setMustInterrupt();
    EXPECT_EQ(KOR_CopyFile::kInterrupted, interrupted.copyItemAt(s.get(), "tree", d.get(), "T"));
    EXPECT_TRUE(fs::is_empty(dst)) << "no partial copy and no temporary name stay";

    if (::mkfifo((src + "/pipe").c_str(), 0600) == 0) {
        EXPECT_EQ(KOR_CopyFile::kSuccess, engine.copyItemAt(s.get(), "pipe", d.get(), "P"));
        EXPECT_TRUE(fs::is_fifo(dst + "/P"));
    }
    if (::mknod((src + "/dev").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        EXPECT_EQ(KOR_CopyFile::kCopyFailed, engine.copyItemAt(s.get(), "dev", d.get(), "D"));
        EXPECT_FALSE(fs::exists(dst + "/D"));
    }
}

TEST_F(CopyFileTest, ClearACLRemovesListsButNeverThroughLinks) {
    const std::string plain = src + "/plain";
    writeFile(plain, "keep");
    ASSERT_EQ(0, chmod(plain.c_str(), 0604));
    EXPECT_TRUE(KOR_CopyFile::clearACL(plain, false));
    struct stat st;
    ASSERT_EQ(0, stat(plain.c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 07777) << "a file without a list is left as it was";
    EXPECT_EQ("keep", readFile(plain));

    const std::string listed = src + "/listed";
    writeFile(listed, "x");
    if (!setExtendedAcl(listed))
        GTEST_SKIP() << "no access lists on this file system";
    EXPECT_TRUE(KOR_CopyFile::fileHasACL(listed));
    EXPECT_TRUE(KOR_CopyFile::clearACL(listed, false));
    EXPECT_FALSE(KOR_CopyFile::fileHasACL(listed));

    // A folder with a default list, a listed file inside, and a link to a listed file outside.
    const std::string folder = src + "/folder";
    fs::create_directories(folder);
    ASSERT_TRUE(setExtendedAcl(folder, ACL_TYPE_DEFAULT));
    writeFile(folder + "/inner", "y");
    ASSERT_TRUE(setExtendedAcl(folder + "/inner"));
    const std::string outside = tmp / "outside";
    writeFile(outside, "z");
    ASSERT_TRUE(setExtendedAcl(outside));
    fs::create_symlink(outside, folder + "/link");

    EXPECT_TRUE(KOR_CopyFile::fileHasACL(folder));
    EXPECT_TRUE(KOR_CopyFile::clearACL(folder, false));
    EXPECT_FALSE(KOR_CopyFile::fileHasACL(folder));
    EXPECT_TRUE(KOR_CopyFile::fileHasACL(folder + "/inner")) << "without recursion the contents stay";
    EXPECT_TRUE(KOR_CopyFile::clearACL(folder, true));
    EXPECT_FALSE(KOR_CopyFile::fileHasACL(folder + "/inner"));
    EXPECT_TRUE(hasExtendedAccessAcl(outside)) << "the link's target is not touched";
    EXPECT_TRUE(KOR_CopyFile::clearACL(folder + "/link", true));
    EXPECT_TRUE(hasExtendedAccessAcl(outside));
}

TEST_F(CopyFileTest, RecursiveClearReportsAFailingEntryAndClearsTheOthers) {
    const std::string folder = src + "/folder";
    fs::create_directories(folder);
    writeFile(folder + "/a", "a");
    writeFile(folder + "/locked", "l");
    writeFile(folder + "/z", "z");
    if (!setExtendedAcl(folder + "/a") || !setExtendedAcl(folder + "/locked") || !setExtendedAcl(folder + "/z"))
        GTEST_SKIP() << "no access lists on this file system";
    if (geteuid() != 0 || !setImmutable(folder + "/locked", true))
        GTEST_SKIP() << "needs root and immutable flags to make one entry fail";
    const bool result = KOR_CopyFile::clearACL(folder, true);
    setImmutable(folder + "/locked", false);
    EXPECT_FALSE(result);
    EXPECT_FALSE(KOR_CopyFile::fileHasACL(folder + "/a"));
    EXPECT_FALSE(KOR_CopyFile::fileHasACL(folder + "/z"));
    EXPECT_TRUE(KOR_CopyFile::fileHasACL(folder + "/locked"));
}

TEST(KORCopyFileAcl, FileHasACLIsFalseForLinksDevicesAndMissingItems) {
    TempDir tmp("bw2acl");
    writeFile(tmp / "f", "x");
    setExtendedAcl(tmp / "f");
    fs::create_symlink(tmp / "f", tmp / "link");
    EXPECT_FALSE(KOR_CopyFile::fileHasACL(tmp / "link"));
    EXPECT_FALSE(KOR_CopyFile::fileHasACL("/dev/null"));
    EXPECT_FALSE(KOR_CopyFile::fileHasACL(tmp / "missing"));
    // The external tool is not shipped.
    EXPECT_FALSE(KOR_CopyFile::clearACLWithTool(tmp / "f", false));
}

TEST_F(CopyFileTest, DataIsCopiedRegionByRegionUnderTheSpaceCheck) {
    // Data at both ends of a large hole, and a hole at the very end (the size must still come out right).
    constexpr off_t kSize = 64LL << 20;
    {
        UniqueFd f(::open((src + "/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(f.valid());
        ASSERT_EQ(5, ::pwrite(f.get(), "start", 5, 0));
        ASSERT_EQ(6, ::pwrite(f.get(), "middle", 6, kSize / 2));
        ASSERT_EQ(0, ::ftruncate(f.get(), kSize));
    }
    writeFile(src + "/dense", std::string(3 * bw::kCopyChunkBytes, 'd'));

    struct Case {
        const char* name;
        int allowedChecks; // how many chunks the space check lets through (-1: all)
        int result;
    };
    const Case cases[] = {
        {"sparse", -1, KOR_CopyFile::kSuccess},
        {"dense", -1, KOR_CopyFile::kSuccess},
        {"dense", 1, KOR_CopyFile::kNoSpace},
        {"dense", 0, KOR_CopyFile::kNoSpace},
    };
    UniqueFd s = openDir(src), d = openDir(dst);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(c.allowedChecks) + " chunks allowed");
        fs::remove_all(dst + "/copy");
        KOR_CopyFile engine;
        int checks = 0;
        engine.setSpaceCheck([&](int) { return c.allowedChecks < 0 || checks++ < c.allowedChecks; });
        ASSERT_EQ(c.result, engine.copyItemAt(s.get(), c.name, d.get(), "copy"));
        if (c.result != KOR_CopyFile::kSuccess) {
            EXPECT_TRUE(fs::is_empty(dst)) << "a copy stopped for space leaves nothing";
            continue;
        }
        struct stat original, copy;
        ASSERT_EQ(0, ::stat((src + "/" + c.name).c_str(), &original));
        ASSERT_EQ(0, ::stat((dst + "/copy").c_str(), &copy));
        EXPECT_EQ(original.st_size, copy.st_size);
        EXPECT_LE(copy.st_blocks, original.st_blocks + 64) << "holes were filled";
        EXPECT_EQ(readFile(src + "/" + c.name), readFile(dst + "/copy"));
    }
}
