#include "files/copy_file.h"
#include "files/unique_fd.h"
#include "temp_dir.h"
#include "file_flags_support.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>

namespace fs = std::filesystem;
using bw::KOR_CopyFile;
using bw::UniqueFd;
using bw::test::hasExtendedAccessAcl;
using bw::test::readFile;
using bw::test::setExtendedAcl;
using bw::test::setImmutable;
using bw::test::TempDir;
using bw::test::makeUnixSocket;
using bw::test::writeFile;

namespace {

UniqueFd openDir(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY));
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

namespace {

struct timespec mtimeOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mtim;
}

void makeSparse(const std::string& path, off_t size, const std::vector<std::pair<off_t, std::string>>& data) {
    UniqueFd f(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(f.valid());
    for (auto& [at, bytes] : data)
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::pwrite(f.get(), bytes.data(), bytes.size(), at));
    ASSERT_EQ(0, ::ftruncate(f.get(), size));
}

// A small tmpfs mounted for one test and unmounted with it; only root can make one.
class SmallVolume {
public:
    SmallVolume(const std::string& where, const char* size) : m_where(where) {
        fs::create_directories(where);
        m_mounted = geteuid() == 0 && ::mount("bw2test", where.c_str(), "tmpfs", 0, size) == 0;
    }
    ~SmallVolume() {
        if (m_mounted)
            ::umount2(m_where.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    std::string m_where;
    bool m_mounted = false;
};

} // namespace

TEST_F(CopyFileTest, CopyFileKeepsEveryAttributeAndReplacesByName) {
    // One file with all a file carries: content, an extended attribute, an access list, times to the
    // nanosecond, a mode; a 4 GiB sparse file; a folder with a link and a pipe.
    writeFile(src + "/doc", "content of the document");
    ASSERT_EQ(0, chmod((src + "/doc").c_str(), 0604));
    ASSERT_EQ(0, setxattr((src + "/doc").c_str(), "user.tag", "blue", 4, 0));
    const bool acls = setExtendedAcl(src + "/doc");
    struct timespec times[2] = {{1500000000, 987654321}, {1600000000, 123456789}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (src + "/doc").c_str(), times, 0));
    makeSparse(src + "/huge", 4LL << 30, {{0, "head"}, {(4LL << 30) - 4, "tail"}});
    fs::create_directories(src + "/folder/inner");
    writeFile(src + "/folder/inner/f", "f");
    fs::create_symlink("inner/f", src + "/folder/link");
    ASSERT_EQ(0, mkfifo((src + "/folder/pipe").c_str(), 0640));
    ASSERT_EQ(0, utimensat(AT_FDCWD, (src + "/folder/inner").c_str(), times, 0));

    struct Case {
        const char* name;
        bool existsBefore;
    };
    for (const Case& c : {Case{"doc", false}, Case{"huge", false}, Case{"folder", false}, Case{"doc", true}}) {
        SCOPED_TRACE(std::string(c.name) + (c.existsBefore ? " over an existing item" : ""));
        if (c.existsBefore)
            writeFile(dst + "/" + c.name, "older and longer content that goes");
        KOR_CopyFile engine;
        ASSERT_EQ(KOR_CopyFile::kSuccess, engine.copyFile(src + "/" + c.name, dst, true));
        EXPECT_EQ(c.existsBefore, engine.hasReplacedFile());
        EXPECT_EQ(c.name, engine.getFileName());
        EXPECT_EQ(KOR_CopyFile::kSuccess, engine.compareFile(src + "/" + c.name, dst + "/" + c.name, true, true))
            << "the copy is alike in content, times to the nanosecond, owner and mode";
        EXPECT_FALSE(fs::exists(dst + "/" + KOR_CopyFile::getKOREVTemporaryFile()));
    }
    struct stat st;
    ASSERT_EQ(0, stat((dst + "/huge").c_str(), &st));
    EXPECT_EQ(4LL << 30, st.st_size);
    EXPECT_LT(st.st_blocks, 1024) << "the holes of the sparse file stayed holes";
    EXPECT_EQ(1600000000, mtimeOf(dst + "/doc").tv_sec);
    EXPECT_EQ(123456789, mtimeOf(dst + "/doc").tv_nsec);
    EXPECT_EQ(123456789, mtimeOf(dst + "/folder/inner").tv_nsec);
    char value[8] = {};
    EXPECT_EQ(4, getxattr((dst + "/doc").c_str(), "user.tag", value, sizeof value));
    if (acls) {
        EXPECT_TRUE(KOR_CopyFile::fileHasACL(dst + "/doc"));
    }
    EXPECT_TRUE(fs::is_symlink(dst + "/folder/link"));
    EXPECT_TRUE(fs::is_fifo(dst + "/folder/pipe"));

    // Progress fields of the last folder copy: every item counted, the data counted once.
    KOR_CopyFile engine;
    ASSERT_EQ(KOR_CopyFile::kSuccess, engine.copyFile(src + "/folder", tmp / "other", true))
        << "a missing destination folder is made first";
    EXPECT_EQ(5, engine.getNbFiles()) << "folder, inner, f, link, pipe";
    EXPECT_EQ(1, engine.getTotalSize());
    EXPECT_EQ(1, engine.getAlreadyDoneSize());
}

TEST_F(CopyFileTest, CompareAnswersWhatDiffers) {
    fs::create_directories(src + "/tree/sub");
    writeFile(src + "/tree/sub/f", "same size");
    writeFile(src + "/tree/g", "g");
    struct timespec times[2] = {{1500000000, 1}, {1500000000, 1}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (src + "/tree/sub/f").c_str(), times, 0));
    KOR_CopyFile engine;
    ASSERT_EQ(KOR_CopyFile::kSuccess, engine.copyFile(src + "/tree", dst, true));
    const std::string copy = dst + "/tree";

    struct Case {
        const char* what;
        std::function<void()> change;
        bool checkDate, checkPermissions;
        int expected;
    };
    const Case cases[] = {
        {"nothing", [] {}, true, true, KOR_CopyFile::kSuccess},
        {"one nanosecond", [&] {
             struct timespec later[2] = {{1500000000, 1}, {1500000000, 2}};
             utimensat(AT_FDCWD, (copy + "/sub/f").c_str(), later, 0);
         }, true, true, KOR_CopyFile::kDatesDiffer},
        {"one nanosecond, dates not checked", [] {}, false, true, KOR_CopyFile::kSuccess},
        {"the mode", [&] { chmod((copy + "/g").c_str(), 0600); }, false, true, KOR_CopyFile::kPermissionsDiffer},
        {"the mode, permissions not checked", [] {}, false, false, KOR_CopyFile::kSuccess},
        {"content of the same size", [&] { writeFile(copy + "/sub/f", "same SIZE"); }, true, true,
         KOR_CopyFile::kDiffers},
        {"the size", [&] { writeFile(copy + "/sub/f", "longer than before"); }, false, false, KOR_CopyFile::kDiffers},
        {"an entry more", [&] {
             writeFile(copy + "/sub/f", "same size");
             writeFile(copy + "/extra", "");
         }, false, false, KOR_CopyFile::kDiffers},
        {"a missing item", [&] { fs::remove_all(copy); }, false, false, KOR_CopyFile::kUnreachable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.change();
        EXPECT_EQ(c.expected, engine.compareFile(src + "/tree", copy, c.checkDate, c.checkPermissions));
    }
    KOR_CopyFile stopped;
    stopped.setMustInterrupt();
    EXPECT_EQ(KOR_CopyFile::kInterrupted, stopped.compareFile(src + "/tree", src + "/tree", false, false));
}

TEST_F(CopyFileTest, PauseHoldsTheCopyAndInterruptLeavesNothing) {
    writeFile(src + "/big", std::string(4 * bw::kCopyChunkBytes, 'p'));
    for (bool interrupt : {true, false}) {
        SCOPED_TRACE(interrupt ? "interrupted while paused" : "resumed");
        fs::remove_all(dst);
        fs::create_directories(dst);
        KOR_CopyFile engine;
        std::promise<void> pausedPromise;
        std::future<void> paused = pausedPromise.get_future();
        bool first = true;
        engine.setDelegate([&](const KOR_CopyFile& e) {
            if (first) {
                first = false;
                const_cast<KOR_CopyFile&>(e).setPause(true);
                pausedPromise.set_value();
            }
        });
        std::future<int> result = std::async(std::launch::async, [&] { return engine.copyFile(src + "/big", dst, true); });
        ASSERT_EQ(std::future_status::ready, paused.wait_for(std::chrono::seconds(30)));
        const std::int64_t done = engine.getAlreadyDoneSize();
        EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(600))) << "paused";
        EXPECT_EQ(done, engine.getAlreadyDoneSize()) << "nothing is copied while paused";
        EXPECT_TRUE(fs::exists(dst + "/" + KOR_CopyFile::getKOREVTemporaryFile()));
        EXPECT_FALSE(fs::exists(dst + "/big")) << "the final name never names a partial copy";
        if (interrupt)
            engine.setMustInterrupt();
        else
            engine.setPause(false);
        ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(30)));
        EXPECT_EQ(interrupt ? KOR_CopyFile::kInterrupted : KOR_CopyFile::kSuccess, result.get());
        EXPECT_FALSE(fs::exists(dst + "/" + KOR_CopyFile::getKOREVTemporaryFile()));
        EXPECT_EQ(!interrupt, fs::exists(dst + "/big"));
    }
}

TEST_F(CopyFileTest, AFullDestinationAnswersTwoAndKeepsNothing) {
    SmallVolume volume(dst + "/small", "size=1m");
    if (!volume.mounted())
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    writeFile(src + "/large", std::string(3 << 20, 'L'));
    fs::create_directories(src + "/folder");
    writeFile(src + "/folder/a", "a");
    writeFile(src + "/folder/large", std::string(3 << 20, 'L'));
    for (const char* name : {"large", "folder"}) {
        SCOPED_TRACE(name);
        KOR_CopyFile engine;
        EXPECT_EQ(KOR_CopyFile::kNoSpace, engine.copyFile(src + "/" + name, dst + "/small", true));
        EXPECT_TRUE(fs::is_empty(dst + "/small")) << "neither the temporary name nor a partial copy stays";
    }
    // An item of the same name whose room the new one needs goes first.
    writeFile(dst + "/small/large", std::string(900 << 10, 'o'));
    writeFile(src + "/large", std::string(700 << 10, 'n'));
    KOR_CopyFile engine;
    EXPECT_EQ(KOR_CopyFile::kSuccess, engine.copyFile(src + "/large", dst + "/small", true));
    EXPECT_TRUE(engine.hasReplacedFile());
    EXPECT_EQ(std::string(700 << 10, 'n'), readFile(dst + "/small/large"));
}

TEST_F(CopyFileTest, SocketsAndDevicesInsideAFolderAreLeftOut) {
    fs::create_directories(src + "/folder");
    writeFile(src + "/folder/kept", "kept");
    makeUnixSocket(src + "/folder/socket");
    const bool device = ::mknod((src + "/folder/device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;

    KOR_CopyFile engine;
    UniqueFd s = openDir(src), d = openDir(dst);
    ASSERT_EQ(KOR_CopyFile::kSuccess, engine.copyItemAt(s.get(), "folder", d.get(), "F"));
    EXPECT_EQ("kept", readFile(dst + "/F/kept"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dst + "/F/socket")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dst + "/F/device")));
    EXPECT_EQ(KOR_CopyFile::kCopyFailed, engine.copyItemAt(s.get(), "folder/socket", d.get(), "S"))
        << "a socket on its own is nothing to keep";
    if (!device)
        std::cout << "device nodes need root; only the socket was tried\n";
}

TEST_F(CopyFileTest, AccessListsLocksAndDeletion) {
    writeFile(src + "/listed", "l");
    writeFile(dst + "/listed", "l");
    writeFile(dst + "/plain", "p");
    if (!setExtendedAcl(src + "/listed") || !setExtendedAcl(dst + "/plain"))
        GTEST_SKIP() << "no access lists on this file system";
    writeFile(src + "/plain", "p");
    fs::create_directories(src + "/dir");
    ASSERT_TRUE(setExtendedAcl(src + "/dir", ACL_TYPE_DEFAULT));
    fs::create_directories(dst + "/dir");
    ASSERT_EQ(0, mkfifo((src + "/pipe").c_str(), 0600));

    struct Case {
        const char* name;
        bool result, listAfter;
    };
    for (const Case& c : {Case{"listed", true, true}, Case{"plain", true, false}, Case{"dir", true, true}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, KOR_CopyFile::copyACLFromItem(src + "/" + c.name, dst + "/" + c.name));
        EXPECT_EQ(c.listAfter, KOR_CopyFile::fileHasACL(dst + "/" + c.name));
    }
    EXPECT_TRUE(KOR_CopyFile::copyACLFromItem(src + "/pipe", dst + "/listed")) << "a pipe has no list to give";

    EXPECT_EQ(KOR_CopyFile::kUnreachable, KOR_CopyFile().deleteObject(dst + "/missing"));
    fs::create_directories(dst + "/tree/a/b");
    writeFile(dst + "/tree/a/b/f", "x");
    EXPECT_EQ(KOR_CopyFile::kSuccess, KOR_CopyFile().deleteObject(dst + "/tree"));
    EXPECT_FALSE(fs::exists(dst + "/tree"));

    // Locks need root (CAP_LINUX_IMMUTABLE) and a file system with flags.
    fs::create_directories(dst + "/locked");
    writeFile(dst + "/locked/old", "o");
    if (KOR_CopyFile::modifyObjectLocked(dst + "/locked", true) != KOR_CopyFile::kSuccess)
        GTEST_SKIP() << "cannot lock items here";
    EXPECT_TRUE(KOR_CopyFile::isObjectLocked(dst + "/locked"));
    KOR_CopyFile engine;
    EXPECT_EQ(KOR_CopyFile::kSuccess, engine.copyFile(src + "/plain", dst + "/locked", true));
    EXPECT_TRUE(KOR_CopyFile::isObjectLocked(dst + "/locked")) << "locked again after the copy";
    EXPECT_EQ("p", readFile(dst + "/locked/plain"));
    EXPECT_EQ(KOR_CopyFile::kSuccess, engine.deleteObject(dst + "/locked/old"));
    EXPECT_TRUE(KOR_CopyFile::isObjectLocked(dst + "/locked"));
    EXPECT_EQ(KOR_CopyFile::kSuccess, KOR_CopyFile::modifyObjectLocked(dst + "/locked/plain", true));
    EXPECT_EQ(KOR_CopyFile::kSuccess, engine.renameFile(dst + "/locked/plain", "renamed"));
    EXPECT_TRUE(KOR_CopyFile::isObjectLocked(dst + "/locked/renamed"));
    EXPECT_EQ(KOR_CopyFile::kSuccess, engine.copyFile(dst + "/locked/renamed", dst, true));
    EXPECT_TRUE(KOR_CopyFile::isObjectLocked(dst + "/renamed")) << "a locked source gives a locked copy";
    EXPECT_EQ(KOR_CopyFile::kSuccess, engine.copyFile(dst + "/locked/renamed", dst, true));
    EXPECT_TRUE(engine.hasReplacedFile()) << "a locked item of the same name is replaced too";
    EXPECT_EQ(KOR_CopyFile::kSuccess, engine.deleteObject(dst + "/renamed"));
    EXPECT_EQ(KOR_CopyFile::kDeleteFailed, engine.deleteObject(dst + "/locked")) << "a locked item inside stays";
    EXPECT_TRUE(fs::exists(dst + "/locked/renamed"));
    EXPECT_EQ(KOR_CopyFile::kSuccess, KOR_CopyFile::modifyObjectLocked(dst + "/locked/renamed", false));
    EXPECT_EQ(KOR_CopyFile::kSuccess, KOR_CopyFile::modifyObjectLocked(dst + "/locked", false));
    EXPECT_EQ(KOR_CopyFile::kSuccess, engine.deleteObject(dst + "/locked"));
    EXPECT_FALSE(fs::exists(dst + "/locked"));
}
