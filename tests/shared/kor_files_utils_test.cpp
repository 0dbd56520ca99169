// File, volume and process queries: against given mount tables, against real loop-mounted file
// systems when root, and against the folders of the test.
#include "files/kor_files_utils.h"
#include "files/lock_flag.h"
#include "plist/plist_file.h"

#include "temp_dir.h"
#include "throwaway_user.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using bw::KOR_FilesUtils;
using bw::test::TempDir;
using bw::test::writeFile;

namespace {

std::vector<bw::MountEntry> twoVolumes() {
    return {
        {"/", "ext4", "/dev/sda1", "rw"},
        {"/proc", "proc", "proc", "rw"},
        {"/media/ann/Data", "ext4", "/dev/sdb1", "rw"},
        {"/media/ann/Database", "vfat", "/dev/sdc1", "rw,uid=1000,gid=1000"},
        {"/srv/share", "nfs4", "server:/share", "rw"},
    };
}

} // namespace

TEST(KORFilesUtils, IsPathInsidePathTellsVolumesApart) {
    const auto table = twoVolumes();
    struct Case {
        const char* inner;
        const char* container;
        bool inside;
    };
    const std::vector<Case> cases = {
        {"/media/ann/Data/a", "/media/ann/Data", true},
        {"/media/ann/Database", "/media/ann/Data", false}, // a name that only begins like the other
        {"/media/ann/Database/x", "/media/ann/Data/", false},
        {"/media/ann/Data/a", "/", false},                 // another volume than the startup one
        {"/media/ann/Data/a", "/media/ann", false},
        {"/home/ann/x", "/home/ann", true},
        {"/home/ann/x", "/", true},
        {"/proc/1", "/", true},                            // a pseudo file system is no volume
        {"/home/ann", "/home/ann", true},
        {"/home/annex", "/home/ann", false},
        {"", "/home", false},
        {"/home", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.inside, KOR_FilesUtils::isPathInsidePath(c.inner, c.container, table))
            << c.inner << " in " << c.container;
}

TEST(KORFilesUtils, VolumeQueriesOverAGivenMountTable) {
    const auto table = twoVolumes();
    struct Case {
        const char* path;
        bool inStartup;
        const char* volume;
        bool ignoresOwnership;
    };
    const std::vector<Case> cases = {
        {"/", true, "/", true},
        {"/home/ann", true, "/", false},
        {"/media/ann/Data/x/y", false, "/media/ann/Data", false},
        {"/media/ann/Database", false, "/media/ann/Database", true},
        {"/media/ann//Database/", false, "/media/ann/Database", true},
        {"/srv/share/f", false, "/srv/share", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.inStartup, KOR_FilesUtils::isInStartupVolume(c.path, table)) << c.path;
        auto volume = KOR_FilesUtils::volumeOf(c.path, table);
        ASSERT_TRUE(volume) << c.path;
        EXPECT_EQ(c.volume, volume->mountPoint) << c.path;
        EXPECT_EQ(c.ignoresOwnership, KOR_FilesUtils::doesVolumeIgnorePermissions(c.path, table)) << c.path;
    }
}

TEST(KORFilesUtils, ItemTypesAndTheirQueries) {
    TempDir tmp("bw2kor");
    fs::create_directories(tmp / "Tool.APP");
    fs::create_directories(tmp / "Notes.rtfd");
    fs::create_directories(tmp / "plain");
    writeFile(tmp / "file.txt", "12345");
    fs::create_symlink(tmp / "nowhere", tmp / "dangling");
    ::mkfifo((tmp / "pipe").c_str(), 0600);
    struct Case {
        const char* name;
        int type;
        bool exists, isFolderWithBundles, isFolderWithout, visible;
    };
    const std::vector<Case> cases = {
        {"Tool.APP", 6, true, true, false, true},
        {"Notes.rtfd", 6, true, true, false, true},
        {"plain", 2, true, true, true, true},
        {"file.txt", 1, true, false, false, true},
        {"dangling", 32, true, false, false, true},
        {"pipe", 512, true, false, false, true},
        {"missing", 0, false, false, false, true},
    };
    for (const auto& c : cases) {
        const std::string path = tmp / c.name;
        EXPECT_EQ(c.type, KOR_FilesUtils::getType(path)) << c.name;
        EXPECT_EQ(c.exists, KOR_FilesUtils::fileExistsAtPath(path)) << c.name;
        EXPECT_EQ(c.isFolderWithBundles, KOR_FilesUtils::isFolder(path, true)) << c.name;
        EXPECT_EQ(c.isFolderWithout, KOR_FilesUtils::isFolder(path, false)) << c.name;
        EXPECT_FALSE(KOR_FilesUtils::isAlias(path)) << c.name;
        EXPECT_EQ(c.visible, KOR_FilesUtils::isVisible(path)) << c.name;
    }
    bool isDirectory = true;
    EXPECT_TRUE(KOR_FilesUtils::fileExistsAtPath(tmp / "dangling", isDirectory));
    EXPECT_FALSE(isDirectory);

    // Hidden and shown again by its leading dot.
    std::string renamed;
    EXPECT_EQ(0, KOR_FilesUtils::setVisible(tmp / "file.txt", false, &renamed));
    EXPECT_EQ(tmp / ".file.txt", renamed);
    EXPECT_FALSE(KOR_FilesUtils::isVisible(renamed));
    EXPECT_EQ(0, KOR_FilesUtils::setVisible(renamed, false)) << "nothing to change";
    EXPECT_EQ(0, KOR_FilesUtils::setVisible(renamed, true, &renamed));
    EXPECT_EQ(tmp / "file.txt", renamed);
    EXPECT_EQ(KOR_FilesUtils::kNoSuchItem, KOR_FilesUtils::setVisible(tmp / "missing", false));

    // The size of a file is its content and its extended attributes.
    const std::uint64_t plain = KOR_FilesUtils::getSizeOf(tmp / "file.txt");
    EXPECT_GE(plain, 5u);
    if (::lsetxattr((tmp / "file.txt").c_str(), "user.note", "abcdefgh", 8, 0) == 0) {
        EXPECT_EQ(plain + 8, KOR_FilesUtils::getSizeOf(tmp / "file.txt"));
    }

    // A reference is the item itself, never a link's target.
    bw::UniqueFd ref = KOR_FilesUtils::getFSRef(tmp / "dangling");
    ASSERT_TRUE(ref);
    EXPECT_EQ(tmp / "dangling", KOR_FilesUtils::getPathFromFSRef(ref.get()).value_or(""));
    EXPECT_FALSE(KOR_FilesUtils::getFSRef(""));

    EXPECT_EQ(0, KOR_FilesUtils::rename(tmp / "plain", "renamed"));
    EXPECT_TRUE(fs::is_directory(tmp / "renamed"));
    EXPECT_EQ(-EINVAL, KOR_FilesUtils::rename(tmp / "renamed", "../out"));
    EXPECT_EQ(-EEXIST, KOR_FilesUtils::rename(tmp / "renamed", "Notes.rtfd"));
    {
        // A locked item is renamed and stays locked.
        bw::UniqueFd file = KOR_FilesUtils::getFSRef(tmp / "file.txt");
        if (bw::setLockedFlag(file.get(), true) == 0 && bw::isLockedItem(file.get())) {
            EXPECT_EQ(0, KOR_FilesUtils::rename(tmp / "file.txt", "locked.txt"));
            bw::UniqueFd moved = KOR_FilesUtils::getFSRef(tmp / "locked.txt");
            EXPECT_TRUE(bw::isLockedItem(moved.get()));
            EXPECT_EQ(0, bw::setLockedFlag(moved.get(), false));
            EXPECT_EQ(0, KOR_FilesUtils::rename(tmp / "locked.txt", "file.txt"));
        }
    }

    struct stat before {}, after {};
    ASSERT_EQ(0, ::stat(tmp.path().c_str(), &before));
    EXPECT_EQ(0, KOR_FilesUtils::forceFolderToUpdate(tmp / "file.txt")) << "applies to the folder holding it";
    ASSERT_EQ(0, ::stat(tmp.path().c_str(), &after));
    EXPECT_EQ(1, std::llabs(static_cast<long long>(after.st_mtim.tv_sec - before.st_mtim.tv_sec)));

    std::uint64_t size = 7, quantity = 7;
    KOR_FilesUtils::getSizeOfFolder(tmp / "missing", size, quantity);
    EXPECT_EQ(7u, size) << "left alone";
    writeFile(tmp / "Notes.rtfd/a", "abc");
    KOR_FilesUtils::getSizeOfFolder(tmp / "Notes.rtfd", size, quantity);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(1u, quantity);
}

TEST(KORFilesUtils, ProcessesAreCountedByNameWithOrWithoutExtension) {
    const std::vector<std::string> paths = {"/opt/bw/bin/binwarden2.app", "/usr/bin/binwarden2", "/usr/bin/bash",
                                            "/opt/x/binwarden2-menu"};
    struct Case {
        const char* name;
        int count;
    };
    for (const auto& c : std::vector<Case>{{"binwarden2", 2}, {"binwarden2.app", 2}, {"bash", 1}, {"", 0}, {"zsh", 0}})
        EXPECT_EQ(c.count, KOR_FilesUtils::countProcessesNamed(paths, c.name)) << c.name;

    // This test's own program is among the running ones.
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    const std::string me(self, static_cast<std::size_t>(n));
    EXPECT_TRUE(KOR_FilesUtils::isProcessLaunchedWithPath(me));
    EXPECT_GE(KOR_FilesUtils::numberOfProcessesLaunchedWithName(me.substr(me.rfind('/') + 1)), 1);
    EXPECT_FALSE(KOR_FilesUtils::getMachineArchitecture().empty());
}

namespace {

// A file-system image made, attached to a loop device and mounted for one test; everything it set
// up is undone by the device and mount point it made itself.
class LoopMount {
public:
    LoopMount(const TempDir& tmp, const std::string& type, const std::string& mkfs, const std::string& options)
        : m_image(tmp / (type + ".img")), m_point(tmp / ("mnt-" + type)) {
        fs::create_directories(m_point);
        { std::ofstream(m_image).close(); }
        fs::resize_file(m_image, 64u << 20);
        if (std::system((mkfs + " " + m_image + " >/dev/null 2>&1").c_str()) != 0) {
            m_why = mkfs + " failed";
            return;
        }
        FILE* losetup = ::popen(("losetup --find --show " + m_image + " 2>/dev/null").c_str(), "r");
        char device[256] = {};
        if (losetup) {
            if (!std::fgets(device, sizeof device, losetup))
                device[0] = '\0';
            ::pclose(losetup);
        }
        m_device = device;
        while (!m_device.empty() && m_device.back() == '\n')
            m_device.pop_back();
        if (m_device.empty()) {
            m_why = "no loop device";
            return;
        }
        if (::mount(m_device.c_str(), m_point.c_str(), type.c_str(), 0, options.empty() ? nullptr : options.c_str()) != 0) {
            m_why = type + " cannot be mounted here: " + std::strerror(errno);
            return;
        }
        m_mounted = true;
    }
    ~LoopMount() {
        if (m_mounted)
            ::umount2(m_point.c_str(), MNT_DETACH);
        if (!m_device.empty() && std::system(("losetup -d " + m_device + " >/dev/null 2>&1").c_str()) != 0)
            std::printf("losetup -d %s failed\n", m_device.c_str());
    }
    bool mounted() const { return m_mounted; }
    const std::string& why() const { return m_why; }
    const std::string& point() const { return m_point; }

private:
    std::string m_image, m_point, m_device, m_why;
    bool m_mounted = false;
};

} // namespace

TEST(KORFilesUtils, VolumeQueriesOnRealLoopMountedVolumes) {
    if (!bw::test::isRoot())
        GTEST_SKIP() << "mounting loop images needs root";
    TempDir tmp("bw2kor");
    struct Case {
        const char* type;
        const char* mkfs;
        const char* options;
        bool hfs, ignoresOwnership;
    };
    const std::vector<Case> cases = {
        {"ext4", "mkfs.ext4 -q -F", "", true, false},
        {"vfat", "mkfs.vfat", "uid=4242,gid=4242", false, true},
    };
    int tried = 0;
    std::string skipped;
    for (const auto& c : cases) {
        LoopMount volume(tmp, c.type, c.mkfs, c.options);
        if (!volume.mounted()) {
            std::printf("%s not tried: %s\n", c.type, volume.why().c_str());
            skipped += std::string(c.type) + ": " + volume.why() + "; ";
            continue;
        }
        ++tried;
        const std::string root = volume.point();
        fs::create_directories(root + "/folder/sub");
        writeFile(root + "/folder/sub/f", std::string(5000, 'x'));
        writeFile(root + "/folder/g", "12");

        EXPECT_TRUE(KOR_FilesUtils::isRootOfVolume(root)) << c.type;
        EXPECT_TRUE(KOR_FilesUtils::isRootOfVolume(root + "/")) << c.type;
        EXPECT_FALSE(KOR_FilesUtils::isRootOfVolume(root + "/folder")) << c.type;
        EXPECT_FALSE(KOR_FilesUtils::isInStartupVolume(root + "/folder")) << c.type;
        EXPECT_EQ(root, KOR_FilesUtils::getVolumePathFor(root + "/folder/sub/f").value_or("")) << c.type;
        EXPECT_FALSE(KOR_FilesUtils::getVolumePathFor(root + "/missing")) << c.type;
        EXPECT_EQ(root + "/folder", KOR_FilesUtils::getVolumePathFor_OLD(root + "//folder/")) << c.type;
        EXPECT_NE(0u, KOR_FilesUtils::getVolumeRefNum(root + "/folder")) << c.type;
        EXPECT_NE(KOR_FilesUtils::getVolumeRefNum("/"), KOR_FilesUtils::getVolumeRefNum(root + "/folder")) << c.type;
        EXPECT_EQ(c.hfs, KOR_FilesUtils::isVolumeHFS(root + "/folder")) << c.type;
        EXPECT_EQ(c.ignoresOwnership, KOR_FilesUtils::doesVolumeIgnorePermissions(root)) << c.type;
        EXPECT_TRUE(KOR_FilesUtils::setIgnorePermissions(c.ignoresOwnership, root)) << c.type << ": already so";
        EXPECT_FALSE(KOR_FilesUtils::setIgnorePermissions(!c.ignoresOwnership, root)) << c.type;
        EXPECT_FALSE(KOR_FilesUtils::isVolumeServer(root)) << c.type;
        EXPECT_TRUE(KOR_FilesUtils::isVolumeMounted(root)) << c.type;

        const std::uint64_t total = KOR_FilesUtils::getVolumeTotalSize(root);
        EXPECT_GT(total, 40u << 20) << c.type;
        EXPECT_LE(total, 64u << 20) << c.type;
        EXPECT_EQ(total, KOR_FilesUtils::getVolumeUsedSize(root) + KOR_FilesUtils::getVolumeFreeSize(root)) << c.type;

        std::uint64_t size = 0, quantity = 0;
        KOR_FilesUtils::getSizeOfFolder(root + "/folder", size, quantity);
        EXPECT_EQ(5002u, size) << c.type;
        EXPECT_EQ(2u, quantity) << c.type;
        KOR_FilesUtils::getSizeOfFolder(root, size, quantity);
        EXPECT_EQ(KOR_FilesUtils::getVolumeUsedSize(root), size) << c.type << ": a volume by its used size";

        EXPECT_FALSE(KOR_FilesUtils::isTimeMachineDisk(root + "/folder")) << c.type;
        fs::create_directories(root + "/Backups.backupdb/host");
        EXPECT_TRUE(KOR_FilesUtils::isTimeMachineDisk(root + "/folder")) << c.type;
        EXPECT_TRUE(KOR_FilesUtils::isInTimeMachineBackups(root + "/Backups.backupdb/host")) << c.type;
        EXPECT_FALSE(KOR_FilesUtils::isInTimeMachineBackups(root + "/folder/Backups.backupdb")) << c.type;
        EXPECT_FALSE(KOR_FilesUtils::volumeContainsASystem(root)) << c.type;
        EXPECT_EQ(KOR_FilesUtils::kNoSuchItem, KOR_FilesUtils::ejectVolume(root)) << c.type;

        // Two volumes whose names begin alike: nothing of one is inside the other.
        EXPECT_TRUE(KOR_FilesUtils::isPathInsidePath(root + "/folder/g", root)) << c.type;
        EXPECT_FALSE(KOR_FilesUtils::isPathInsidePath(root + "/folder/g", "/")) << c.type;
    }
    if (tried == 0)
        GTEST_SKIP() << "no loop-mounted file system could be made here (" << skipped << ")";
}

TEST(KORFilesUtils, AnswersForWhatHasNoCounterpartHere) {
    EXPECT_FALSE(KOR_FilesUtils::mountFromAliasFile("/tmp/alias", nullptr));
    EXPECT_TRUE(KOR_FilesUtils::getFileVaultNamesOnStartupDisk().empty());
    EXPECT_FALSE(KOR_FilesUtils::blessOSXVolume("/", "x86_64"));
    EXPECT_TRUE(KOR_FilesUtils::isStartupVolume("/"));
    EXPECT_FALSE(KOR_FilesUtils::isStartupVolume("/home"));
    EXPECT_TRUE(KOR_FilesUtils::isRootOfVolume(""));
    EXPECT_TRUE(KOR_FilesUtils::isRootOfVolume("/"));
    EXPECT_FALSE(KOR_FilesUtils::isRootOfVolume("/definitely/not/a/mount"));
    struct Case {
        const char* name;
        bool valid;
    };
    for (const auto& c : std::vector<Case>{{"/", true}, {"/media/ann/Data", true}, {"My-Disk", true},
                                           {"Disk.2", false}, {"Disk_2.x", true}, {"Dïsk", false}})
        EXPECT_EQ(c.valid, KOR_FilesUtils::isVolumeNameValid(c.name)) << c.name;
    EXPECT_EQ("root", KOR_FilesUtils::getOwnerNameForID(0).value_or(""));
    EXPECT_FALSE(KOR_FilesUtils::getOwnerNameForID(static_cast<uid_t>(4000000000u)));
}

TEST(KORFilesUtils, PropertyListsAreReadWholeFromTheirFile) {
    TempDir tmp("bw2kor");
    writeFile(tmp / "list.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
              "<key>name</key><string>Data</string></dict></plist>");
    writeFile(tmp / "empty.plist", "");
    writeFile(tmp / "garbage.plist", "not a property list");
    struct Case {
        const char* file;
        bool list;
    };
    for (const auto& c : std::vector<Case>{{"list.plist", true}, {"empty.plist", false}, {"garbage.plist", false},
                                           {"missing.plist", false}})
        EXPECT_EQ(c.list, bw::getDictionaryInPList(tmp / c.file) != nullptr) << c.file;
    bw::PlistPtr name = bw::getObjectInPList(tmp / "list.plist", "name");
    ASSERT_TRUE(name);
    char* text = nullptr;
    plist_get_string_val(name.get(), &text);
    EXPECT_STREQ("Data", text);
    std::free(text);
    EXPECT_FALSE(bw::getObjectInPList(tmp / "list.plist", "other"));
    EXPECT_FALSE(bw::getObjectInPList(tmp / "missing.plist", "name"));
}
