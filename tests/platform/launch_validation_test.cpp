#include "launch_validation.h"

#include "temp_dir.h"
#include "throwaway_user.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;
using bw::validateDaemonArguments;
using bw::test::TempDir;
using bw::test::ThrowawayUser;

namespace {

std::vector<std::string> daemonArgs(const std::string& trash, const std::string& cacheRoot, const std::string& uid) {
    return {"1", trash, cacheRoot, "700", "15", "1", uid, "3"};
}

bool accepted(const std::vector<std::string>& args, uid_t uid, std::string* why) {
    return validateDaemonArguments(args, uid, why);
}

void makeOwnedDirs(const std::string& path, uid_t uid, gid_t gid, mode_t mode = 0755) {
    bw::test::makeDirs(path, mode);
    ASSERT_EQ(::chown(path.c_str(), uid, gid), 0) << path;
}

// Mounts made by these tests stay in a private mount namespace of the test process.
bool enterPrivateMountNamespace() {
    static const bool done =
        ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return done;
}

// A folder whose path contains no symbolic link and is traversable by everybody.
std::unique_ptr<TempDir> makeTestRoot() {
    auto dir = std::make_unique<TempDir>("bw2launchcheck");
    ::chmod(dir->path().c_str(), 0755);
    return dir;
}

} // namespace

TEST(LaunchValidation, RefusesMalformedCommandLines) {
    const std::string me = std::to_string(::getuid());
    const std::string home = "/home/nobody-here/";
    const std::string trash = home + ".local/share/Trash/files/";
    std::string why;

    std::vector<std::string> seven = daemonArgs(trash, home, me);
    seven.pop_back();
    EXPECT_FALSE(accepted(seven, ::getuid(), &why));
    EXPECT_NE(why.find("eight"), std::string::npos) << why;
    std::vector<std::string> nine = daemonArgs(trash, home, me);
    nine.push_back("3");
    EXPECT_FALSE(accepted(nine, ::getuid(), &why));

    for (const char* number : {"", "1x", "1.5", "--1", " 1", "12345678901234567890", "9223372036854775808",
                               "-9223372036854775809"}) {
        auto args = daemonArgs(trash, home, me);
        args[3] = number;
        EXPECT_FALSE(accepted(args, ::getuid(), &why)) << "size limit \"" << number << "\"";
        EXPECT_NE(why.find("argument 4"), std::string::npos) << why;
    }

    for (const std::string& uid : {"0" + me, "+" + me, me + " ", std::to_string(::getuid() + 1), std::string()}) {
        EXPECT_FALSE(accepted(daemonArgs(trash, home, uid), ::getuid(), &why)) << "uid \"" << uid << "\"";
        EXPECT_NE(why.find("user id"), std::string::npos) << why;
    }

    for (const std::string& badTrash :
         {std::string("home/.local/share/Trash/files/"), home + ".local/share/Trash/files",
          home + ".local//share/Trash/files/", home + ".local/./share/Trash/files/",
          home + "x/../.local/share/Trash/files/", std::string("/etc/"), home + "Trash/file/"}) {
        EXPECT_FALSE(accepted(daemonArgs(badTrash, home, me), ::getuid(), &why)) << badTrash;
    }
    for (const std::string& badRoot :
         {std::string("/home/nobody-here"), std::string("home/nobody-here/"), std::string("/home//nobody-here/")}) {
        EXPECT_FALSE(accepted(daemonArgs(trash, badRoot, me), ::getuid(), &why)) << badRoot;
    }
    // The reason is optional.
    EXPECT_FALSE(validateDaemonArguments(seven, ::getuid()));
}

class LaunchValidationAsRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bw::test::isRoot())
            GTEST_SKIP() << "needs root to create a throw-away user and folders owned by it";
        m_root = makeTestRoot();
        m_base = fs::canonical(m_root->path()).string(); // the check refuses links anywhere in a path
        m_home = m_base + "/home";
        m_user = std::make_unique<ThrowawayUser>(m_home);
        ASSERT_TRUE(m_user->valid()) << "useradd failed";
        makeOwnedDirs(m_home, uid(), gid(), 0700);
        m_uidText = std::to_string(uid());
    }

    uid_t uid() const { return m_user->uid(); }
    gid_t gid() const { return m_user->gid(); }

    // mkdir -p below `base`, every new folder owned by the user.
    void makeUserDirs(const std::string& base, const std::string& relative) {
        std::string path = base;
        for (const auto& part : fs::path(relative)) {
            if (part.empty() || part == "/")
                continue;
            path += "/" + part.string();
            if (!fs::exists(path))
                makeOwnedDirs(path, uid(), gid());
        }
    }

    std::unique_ptr<TempDir> m_root;
    std::string m_base;
    std::string m_home;
    std::string m_uidText;
    std::unique_ptr<ThrowawayUser> m_user;
    std::string why_;
};

TEST_F(LaunchValidationAsRoot, HomeTrashInsideThePasswordDatabaseHome) {
    makeUserDirs(m_home, ".local/share/Trash/files");
    makeUserDirs(m_home, "elsewhere/Trash/files");
    const std::string trash = m_home + "/.local/share/Trash/files/";
    std::string why;

    EXPECT_TRUE(accepted(daemonArgs(trash, m_home + "/", m_uidText), uid(), &why)) << why;
    // Any folder ending in Trash/files inside the home: XDG_DATA_HOME cannot be trusted, nor needed.
    EXPECT_TRUE(accepted(daemonArgs(m_home + "/elsewhere/Trash/files/", m_home + "/", m_uidText), uid(), &why)) << why;

    // The user id must be the caller's, and the caller must own the folder.
    EXPECT_FALSE(accepted(daemonArgs(trash, m_home + "/", m_uidText), 0, &why));
    EXPECT_FALSE(accepted(daemonArgs(trash, m_home + "/", "0"), uid(), &why));

    // Cache root must be exactly the home folder with its slash.
    EXPECT_FALSE(accepted(daemonArgs(trash, m_home, m_uidText), uid(), &why));
    EXPECT_FALSE(accepted(daemonArgs(trash, m_base + "/", m_uidText), uid(), &why));
    EXPECT_NE(why.find("cache root"), std::string::npos) << why;
    EXPECT_FALSE(accepted(daemonArgs(trash, m_home + "/.local/", m_uidText), uid(), &why));

    // A sibling folder that merely shares the home's name as a prefix is outside it.
    makeUserDirs(m_base, "home2/Trash/files");
    EXPECT_FALSE(accepted(daemonArgs(m_base + "/home2/Trash/files/", m_home + "/", m_uidText), uid(), &why));
    EXPECT_NE(why.find("not inside"), std::string::npos) << why;

    // Missing folder.
    EXPECT_FALSE(accepted(daemonArgs(m_home + "/gone/Trash/files/", m_home + "/", m_uidText), uid(), &why));

    // Owned by somebody else (here root), even inside the user's home.
    makeUserDirs(m_home, "rootowned/Trash");
    bw::test::makeDirs(m_home + "/rootowned/Trash/files");
    EXPECT_FALSE(accepted(daemonArgs(m_home + "/rootowned/Trash/files/", m_home + "/", m_uidText), uid(), &why));
    EXPECT_NE(why.find("owned by 0"), std::string::npos) << why;
}

TEST_F(LaunchValidationAsRoot, NoSymbolicLinkAnywhereInTheTrashPath) {
    makeUserDirs(m_home, "real/share/Trash/files");
    fs::create_symlink(m_home + "/real", m_home + "/.local");
    std::string why;
    EXPECT_FALSE(accepted(daemonArgs(m_home + "/.local/share/Trash/files/", m_home + "/", m_uidText), uid(), &why));

    // The last component as a link to a folder the user does not own (the classic swap).
    makeUserDirs(m_home, "x/Trash");
    fs::create_symlink("/etc", m_home + "/x/Trash/files");
    EXPECT_FALSE(accepted(daemonArgs(m_home + "/x/Trash/files/", m_home + "/", m_uidText), uid(), &why));

    // A link above the home folder is refused as well.
    fs::create_symlink(m_base, m_base + "/alias");
    const std::string viaAlias = m_base + "/alias/home/real/share/Trash/files/";
    EXPECT_FALSE(accepted(daemonArgs(viaAlias, m_base + "/alias/home/", m_uidText), uid(), &why));

    int fd = bw::openFolderWithoutSymlinks(m_home + "/real/share/Trash/files/");
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        ::close(fd);
    EXPECT_EQ(bw::openFolderWithoutSymlinks(m_home + "/.local/share/"), -1);
    EXPECT_EQ(bw::openFolderWithoutSymlinks(m_home + "/../home/"), -1);
}

TEST_F(LaunchValidationAsRoot, VolumeTrashOnARealMountPoint) {
    if (!enterPrivateMountNamespace())
        GTEST_SKIP() << "cannot make a private mount namespace here";
    // A space in the mount point checks the unescaping of mountinfo.
    const std::string mount = m_base + "/my vol";
    bw::test::makeDirs(mount);
    if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, "mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string root = mount + "/";
    makeUserDirs(mount, ".Trash-" + m_uidText + "/files");
    std::string why;

    EXPECT_TRUE(accepted(daemonArgs(root + ".Trash-" + m_uidText + "/files/", root, m_uidText), uid(), &why)) << why;
    EXPECT_FALSE(accepted(daemonArgs(root + ".Trash-" + m_uidText + "/files/", mount, m_uidText), uid(), &why));
    EXPECT_FALSE(accepted(daemonArgs(root + ".Trash-" + m_uidText + "/files/", m_home + "/", m_uidText), uid(), &why));
    // Another user's volume trash.
    bw::test::makeDirs(root + ".Trash-0/files");
    EXPECT_FALSE(accepted(daemonArgs(root + ".Trash-0/files/", root, m_uidText), uid(), &why));

    // The shared .Trash/<uid> form needs a sticky .Trash.
    bw::test::makeDirs(root + ".Trash", 01777);
    makeUserDirs(root + ".Trash", m_uidText + "/files");
    const std::string shared = root + ".Trash/" + m_uidText + "/files/";
    EXPECT_TRUE(accepted(daemonArgs(shared, root, m_uidText), uid(), &why)) << why;
    ::chmod((root + ".Trash").c_str(), 0777);
    EXPECT_FALSE(accepted(daemonArgs(shared, root, m_uidText), uid(), &why));
    EXPECT_NE(why.find("sticky"), std::string::npos) << why;

    // The same shape on a plain folder is not a volume.
    const std::string plain = m_base + "/plain/";
    bw::test::makeDirs(plain);
    makeUserDirs(plain, ".Trash-" + m_uidText + "/files");
    EXPECT_FALSE(accepted(daemonArgs(plain + ".Trash-" + m_uidText + "/files/", plain, m_uidText), uid(), &why));
    EXPECT_NE(why.find("mount point"), std::string::npos) << why;

    ::umount2(mount.c_str(), MNT_DETACH);
}

TEST_F(LaunchValidationAsRoot, RootFolderIsAVolumeOnlyInTheVolumeForm) {
    // "/" itself must not be written by a test, so only the decisions taken before the folder is opened.
    std::string why;
    EXPECT_FALSE(accepted(daemonArgs("/.Trash-" + m_uidText + "/files/", "/home/", m_uidText), uid(), &why));
    EXPECT_NE(why.find("mount point"), std::string::npos) << why;
    EXPECT_FALSE(accepted(daemonArgs("/.Trash-" + m_uidText + "/files/", "/", m_uidText), uid(), &why));
    EXPECT_NE(why.find("cannot open"), std::string::npos) << why; // "/" is a mount point; the folder is missing
}

TEST_F(LaunchValidationAsRoot, NumbersTheSettingsReaderCanGiveAreAccepted) {
    makeUserDirs(m_home, ".local/share/Trash/files");
    const std::string trash = m_home + "/.local/share/Trash/files/";
    std::string why;
    // The settings reader clamps what it reads to the signed 64-bit range; every value it can give passes.
    for (const char* number : {"9223372036854775807", "-9223372036854775808", "1000000000000000000", "0"}) {
        for (std::size_t field : {0u, 3u, 4u, 5u, 7u}) {
            auto args = daemonArgs(trash, m_home + "/", m_uidText);
            args[field] = number;
            EXPECT_TRUE(accepted(args, uid(), &why)) << "argument " << field + 1 << " = " << number << ": " << why;
        }
    }
}

TEST_F(LaunchValidationAsRoot, OnlyLinksThatRootMadeInItsOwnFoldersAreFollowedToTheHome) {
    // "/home -> /var/home" as some distributions ship it: the password database names the linked path.
    struct Case {
        const char* what;
        uid_t linkOwner;     // who owns the link
        uid_t folderOwner;   // who owns the folder holding it
        mode_t folderMode;   // that folder's mode
        bool accepted;
    };
    ThrowawayUser other(m_base + "/other");
    ASSERT_TRUE(other.valid());
    const Case cases[] = {
        {"root's link in a folder of root's", 0, 0, 0755, true},
        {"root's link in root's sticky folder open to all", 0, 0, 01777, true},
        {"root's link in root's folder open to all", 0, 0, 0777, false},
        {"root's link in a folder of another user's", 0, other.uid(), 0755, false},
        {"another user's link in a folder of root's", other.uid(), 0, 0755, false},
        {"the user's own link in a folder of root's", uid(), 0, 0755, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string holder = m_base + "/holder" + std::to_string(++n);
        bw::test::makeDirs(holder + "/var/home", 0755);
        ASSERT_EQ(0, ::chown(holder.c_str(), c.folderOwner, 0));
        ASSERT_EQ(0, ::chmod(holder.c_str(), c.folderMode));
        ASSERT_EQ(0, ::symlink("var/home", (holder + "/home").c_str()));
        ASSERT_EQ(0, ::lchown((holder + "/home").c_str(), c.linkOwner, 0));
        ThrowawayUser linked(holder + "/home/u");
        ASSERT_TRUE(linked.valid());
        const std::string real = holder + "/var/home/u";
        bw::test::makeDirs(real + "/.local/share/Trash/files", 0700);
        for (const std::string& path : {real, real + "/.local", real + "/.local/share", real + "/.local/share/Trash",
                                        real + "/.local/share/Trash/files"})
            ASSERT_EQ(0, ::chown(path.c_str(), linked.uid(), linked.gid()));
        const std::string home = holder + "/home/u/";
        EXPECT_EQ(c.accepted, accepted(daemonArgs(home + ".local/share/Trash/files/", home,
                                                  std::to_string(linked.uid())),
                                       linked.uid(), &why_))
            << why_;
        const int fd = bw::openFolderWithoutSymlinks(home + ".local/share/Trash/files/");
        EXPECT_EQ(c.accepted, fd >= 0);
        if (fd >= 0)
            ::close(fd);
    }
}

TEST_F(LaunchValidationAsRoot, TheFolderHoldingTheTrashMustBeTheUsersToo) {
    // Whoever owns ".Trash-<uid>" (or the home trash folder) can swap "files" at any time.
    makeUserDirs(m_home, "a/Trash/files");
    bw::test::makeDirs(m_home + "/b/Trash", 0755);
    makeOwnedDirs(m_home + "/b/Trash/files", uid(), gid());
    EXPECT_TRUE(accepted(daemonArgs(m_home + "/a/Trash/files/", m_home + "/", m_uidText), uid(), &why_)) << why_;
    EXPECT_FALSE(accepted(daemonArgs(m_home + "/b/Trash/files/", m_home + "/", m_uidText), uid(), &why_));
    EXPECT_NE(why_.find("owned by 0"), std::string::npos) << why_;
}
