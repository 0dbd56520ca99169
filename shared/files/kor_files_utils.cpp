#include "files/kor_files_utils.h"

#include "files/dir_handle.h"
#include "files/folder_size.h"
#include "files/lock_flag.h"
#include "files/log_line.h"
#include "files/no_follow.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <sys/xattr.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace bw {

namespace {

// The absolute path with single slashes and no trailing one ("/" stays "/").
std::string normalised(const std::string& path) {
    std::string out;
    for (const auto& part : pathComponents(path))
        out += "/" + part;
    return out.empty() ? std::string("/") : out;
}

std::string lastComponentOf(const std::string& path) {
    auto parts = pathComponents(path);
    return parts.empty() ? std::string() : parts.back();
}

std::string lowerExtensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

std::string withoutExtension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

int negativeErrno() {
    return errno == ENOENT || errno == ENOTDIR ? KOR_FilesUtils::kNoSuchItem : -errno;
}

// The volumes are the real file systems: a pseudo one (proc, tmpfs …) belongs to the volume below it.
std::vector<MountEntry> volumeTable(const std::vector<MountEntry>& table) {
    std::vector<MountEntry> volumes;
    std::copy_if(table.begin(), table.end(), std::back_inserter(volumes),
                 [](const MountEntry& entry) { return !isPseudoFileSystem(entry.fsType); });
    return volumes;
}

bool statVolume(const std::string& path, struct statvfs& info) {
    return !path.empty() && ::statvfs(path.c_str(), &info) == 0;
}

std::uint64_t blockUnit(const struct statvfs& info) {
    return info.f_frsize ? info.f_frsize : info.f_bsize;
}

// Where desktops mount volumes: a folder made there would stand in for a volume that is not mounted.
bool isMountPlace(const std::string& folder) {
    const std::string f = normalised(folder);
    if (f == "/media" || f == "/mnt" || f == "/run/media")
        return true;
    const std::string parent = f.substr(0, f.rfind('/'));
    return parent == "/media" || parent == "/run/media";
}

} // namespace

// ---- volumes ----

std::optional<MountEntry> KOR_FilesUtils::volumeOf(const std::string& path, const std::vector<MountEntry>& table) {
    if (path.empty() || path[0] != '/')
        return std::nullopt;
    return mountForPath(normalised(path), volumeTable(table));
}

bool KOR_FilesUtils::isStartupVolume(const std::string& path) {
    return path == "/";
}

bool KOR_FilesUtils::isInStartupVolume(const std::string& path, const std::vector<MountEntry>& table) {
    auto volume = volumeOf(path, table);
    return !volume || volume->mountPoint == "/";
}

bool KOR_FilesUtils::isInStartupVolume(const std::string& path) {
    return isInStartupVolume(path, readMountTable());
}

bool KOR_FilesUtils::isRootOfVolume(const std::string& path) {
    if (path.empty() || normalised(path) == "/")
        return true;
    return isMountPoint(path, volumeTable(readMountTable()));
}

std::optional<std::string> KOR_FilesUtils::getVolumePathFor(const std::string& path) {
    if (!exists(path))
        return std::nullopt;
    auto volume = volumeOf(path, readMountTable());
    if (!volume)
        return std::nullopt;
    return volume->mountPoint;
}

std::string KOR_FilesUtils::getVolumePathFor_OLD(const std::string& path) {
    return isInStartupVolume(path) ? std::string("/") : normalised(path);
}

std::uint64_t KOR_FilesUtils::getVolumeRefNum(const std::string& path) {
    auto volume = getVolumePathFor(path);
    struct stat st {};
    struct stat startup {};
    if (!volume || ::stat(volume->c_str(), &st) != 0 || ::stat("/", &startup) != 0)
        return 0;
    // A volume folder that holds no mount of its own lies on the startup disk.
    if (*volume != "/" && st.st_dev == startup.st_dev)
        return 0;
    return static_cast<std::uint64_t>(st.st_dev);
}

std::uint64_t KOR_FilesUtils::getVolumeFreeSize(const std::string& path) {
    struct statvfs info {};
    return statVolume(path, info) ? static_cast<std::uint64_t>(info.f_bavail) * blockUnit(info) : 0;
}

std::uint64_t KOR_FilesUtils::getVolumeTotalSize(const std::string& path) {
    struct statvfs info {};
    return statVolume(path, info) ? static_cast<std::uint64_t>(info.f_blocks) * blockUnit(info) : 0;
}

std::uint64_t KOR_FilesUtils::getVolumeUsedSize(const std::string& path) {
    const std::uint64_t total = getVolumeTotalSize(path);
    const std::uint64_t free = getVolumeFreeSize(path);
    return total > free ? total - free : 0;
}

std::uint64_t KOR_FilesUtils::getVolumeNbFiles(const std::string& path) {
    struct statvfs info {};
    if (!statVolume(path, info) || info.f_files < info.f_ffree)
        return 0;
    return static_cast<std::uint64_t>(info.f_files - info.f_ffree);
}

bool KOR_FilesUtils::isVolumeMounted(const std::string& path) {
    struct statvfs info {};
    return statVolume(path, info);
}

bool KOR_FilesUtils::isVolumeServer(const std::string& path) {
    return bw::isVolumeServer(path, readMountTable());
}

bool KOR_FilesUtils::isVolumeHFS(const std::string& path) {
    auto volume = volumeOf(path, readMountTable());
    return volume && isPosixOwnershipFileSystem(volume->fsType);
}

bool KOR_FilesUtils::getFSVolumeInfo(const std::string& path, struct statvfs& info) {
    return statVolume(path, info);
}

std::string KOR_FilesUtils::getVolumeNameForPath(const std::string& path) {
    auto volume = volumeOf(path.empty() ? std::string("/") : path, readMountTable());
    if (!volume)
        return "/";
    if (auto label = labelForDevice(volume->source))
        return *label;
    const std::string name = lastComponentOf(volume->mountPoint);
    return name.empty() ? std::string("/") : name;
}

bool KOR_FilesUtils::isVolumeNameValid(const std::string& name) {
    if (name == "/")
        return true;
    const std::string last = lastComponentOf(name);
    if (std::any_of(last.begin(), last.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return false;
    const bool punctuated =
        std::any_of(last.begin(), last.end(), [](char c) { return std::ispunct(static_cast<unsigned char>(c)); });
    return !punctuated || last.find_first_of("-_") != std::string::npos;
}

bool KOR_FilesUtils::doesVolumeIgnorePermissions(const std::string& path, const std::vector<MountEntry>& table) {
    if (path == "/")
        return true;
    auto volume = volumeOf(path, table);
    return volume && isFixedOwnershipFileSystem(volume->fsType);
}

bool KOR_FilesUtils::doesVolumeIgnorePermissions(const std::string& path) {
    return doesVolumeIgnorePermissions(path, readMountTable());
}

bool KOR_FilesUtils::setIgnorePermissions(bool ignore, const std::string& volumePath) {
    if (volumePath == "/" || !isRootOfVolume(volumePath) || doesVolumeIgnorePermissions(volumePath) == ignore)
        return true;
    // Ownership is the file system's and its mount options': nothing changes it on a mounted volume.
    bw::logLine(LOG_ERR, "setIgnorePermissions: %s keeps its ownership until it is mounted otherwise",
                volumePath.c_str());
    return false;
}

bool KOR_FilesUtils::isTimeMachineDisk(const std::string& path) {
    auto volume = getVolumePathFor(path);
    return volume && exists(normalised(*volume + "/Backups.backupdb"));
}

bool KOR_FilesUtils::isInTimeMachineBackups(const std::string& path) {
    auto volume = volumeOf(path, readMountTable());
    if (!volume || volume->mountPoint == "/")
        return false;
    const auto inside = pathComponents(normalised(path).substr(volume->mountPoint.size()));
    return !inside.empty() && inside.front() == "Backups.backupdb";
}

bool KOR_FilesUtils::volumeContainsASystem(const std::string& volumePath) {
    const std::string root = volumePath.empty() || volumePath.back() != '/' ? volumePath + "/" : volumePath;
    const bool described = exists(root + "etc/os-release") || exists(root + "usr/lib/os-release");
    const bool startable =
        exists(root + "sbin/init") || exists(root + "usr/sbin/init") || exists(root + "usr/lib/systemd/systemd");
    return described && startable;
}

bool KOR_FilesUtils::mountFromAliasFile(const std::string&, std::string*) {
    return false; // there are no aliases
}

int KOR_FilesUtils::ejectVolume(const std::string& path) {
    bw::logLine(LOG_ERR, "ejectVolume: %s is left to the desktop to eject", path.c_str());
    return kNoSuchItem;
}

std::vector<std::string> KOR_FilesUtils::getFileVaultNamesOnStartupDisk() {
    return {}; // home folders are not kept in disk images here
}

bool KOR_FilesUtils::blessOSXVolume(const std::string&, const std::string&) {
    return false;
}

// ---- items ----

bool KOR_FilesUtils::fileExistsAtPath(const std::string& path) {
    return !path.empty() && exists(path);
}

bool KOR_FilesUtils::fileExistsAtPath(const std::string& path, bool& isDirectory) {
    struct stat st {};
    if (!path.empty() && ::stat(path.c_str(), &st) == 0) {
        isDirectory = S_ISDIR(st.st_mode);
        return true;
    }
    isDirectory = false;
    return fileExistsAtPath(path);
}

bool KOR_FilesUtils::isApplication(const std::string& path) {
    const std::string extension = lowerExtensionOf(lastComponentOf(path));
    return extension == "app" || extension == "desktop";
}

int KOR_FilesUtils::getType(const std::string& path, struct stat& st) {
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return 0;
    if (S_ISREG(st.st_mode))
        return kTypeFile;
    if (S_ISLNK(st.st_mode))
        return kTypeSymbolicLink;
    if (S_ISSOCK(st.st_mode))
        return kTypeSocket;
    if (!S_ISDIR(st.st_mode))
        return kTypeOther;
    static constexpr std::array<std::string_view, 10> kPackages = {
        "rtfd", "webloc", "bundle", "menu", "download", "pages", "keynote", "xcode", "sparsebundle", "dsym"};
    const std::string extension = lowerExtensionOf(lastComponentOf(path));
    const bool package =
        isApplication(path) || std::find(kPackages.begin(), kPackages.end(), extension) != kPackages.end();
    return package ? kTypeFolder | kTypePackage : kTypeFolder;
}

int KOR_FilesUtils::getType(const std::string& path) {
    struct stat st {};
    return getType(path, st);
}

bool KOR_FilesUtils::isFolder(const std::string& path, bool acceptBundle) {
    const int type = getType(path);
    return (type & kTypeFolder) && (acceptBundle || !(type & kTypePackage));
}

bool KOR_FilesUtils::isBundle(const std::string& path) {
    return getType(path) & kTypePackage;
}

bool KOR_FilesUtils::isAlias(const std::string& path) {
    return getType(path) & kTypeAlias;
}

bool KOR_FilesUtils::isSymbolicLink(const std::string& path) {
    return getType(path) & kTypeSymbolicLink;
}

UniqueFd KOR_FilesUtils::getFSRef(const std::string& path) {
    if (path.empty())
        return UniqueFd();
    return UniqueFd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

std::optional<std::string> KOR_FilesUtils::getPathFromFSRef(int ref) {
    char target[1025];
    const ssize_t n = ::readlink(procFdPath(ref).c_str(), target, sizeof target);
    if (n <= 0 || n > 1024 || target[0] != '/')
        return std::nullopt;
    return std::string(target, static_cast<std::size_t>(n));
}

int KOR_FilesUtils::getFinderInfo(const std::string& path, struct stat& info) {
    if (path.empty() || ::lstat(path.c_str(), &info) != 0)
        return path.empty() ? kNoSuchItem : negativeErrno();
    return 0;
}

int KOR_FilesUtils::setFinderInfo(const std::string& path, mode_t mode, uid_t owner, gid_t group) {
    UniqueFd item = getFSRef(path);
    struct stat st {};
    if (!item || ::fstat(item.get(), &st) != 0)
        return path.empty() ? kNoSuchItem : negativeErrno();
    // A link has no mode of its own; its descriptor's /proc name reaches exactly the item otherwise.
    if (!S_ISLNK(st.st_mode) && ::chmod(procFdPath(item.get()).c_str(), mode & 07777) != 0)
        return -errno;
    if (owner == static_cast<uid_t>(-1) && group == static_cast<gid_t>(-1))
        return 0;
    return ::fchownat(item.get(), "", owner, group, AT_EMPTY_PATH) == 0 ? 0 : -errno;
}

std::uint64_t KOR_FilesUtils::getSizeOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return 0;
    std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    // The other forks: the values of the extended attributes.
    const ssize_t listed = ::llistxattr(path.c_str(), nullptr, 0);
    if (listed <= 0)
        return size;
    std::string names(static_cast<std::size_t>(listed), '\0');
    const ssize_t got = ::llistxattr(path.c_str(), names.data(), names.size());
    for (std::size_t at = 0; got > 0 && at < static_cast<std::size_t>(got); at += std::strlen(names.c_str() + at) + 1) {
        const ssize_t value = ::lgetxattr(path.c_str(), names.c_str() + at, nullptr, 0);
        if (value > 0)
            size += static_cast<std::uint64_t>(value);
    }
    return size;
}

void KOR_FilesUtils::getSizeOfFolder(const std::string& path, std::uint64_t& size, std::uint64_t& quantity) {
    if (isRootOfVolume(path)) {
        const std::string volume = path.empty() ? std::string("/") : path;
        size = getVolumeUsedSize(volume);
        quantity = getVolumeNbFiles(volume);
        return;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        quantity = 1;
        size = getSizeOf(path);
        return;
    }
    size = quantity = 0;
    UniqueFd folder = openFolderNoFollow(path);
    if (!folder)
        return;
    const TreeSize measured = FolderSizer(SizeMeasure::Apparent).measureFolder(folder.get());
    size = measured.bytes;
    quantity = measured.items;
}

bool KOR_FilesUtils::isPathInsidePath(const std::string& inner, const std::string& container,
                                      const std::vector<MountEntry>& table) {
    if (inner.empty() || container.empty())
        return false;
    if (inner == container)
        return true;
    if (isInStartupVolume(inner, table) != isInStartupVolume(container, table))
        return false;
    const auto withSlash = [](std::string p) {
        if (p.size() >= 2 && p.back() != '/')
            p += '/';
        return p;
    };
    const std::string in = withSlash(inner), out = withSlash(container);
    return in.compare(0, out.size(), out) == 0;
}

bool KOR_FilesUtils::isPathInsidePath(const std::string& inner, const std::string& container) {
    return isPathInsidePath(inner, container, readMountTable());
}

bool KOR_FilesUtils::createStandardFolder(const std::string& path) {
    if (path.empty())
        return false;
    if (exists(path))
        return true;
    const std::string clean = normalised(path);
    if (isMountPlace(clean.substr(0, clean.rfind('/'))))
        return false;
    if (::mkdir(path.c_str(), 0777) != 0)
        return false;
    // The mode asked for, not the one the umask leaves.
    return ::chmod(path.c_str(), 0777) == 0;
}

std::optional<std::string> KOR_FilesUtils::getOwnerNameForID(uid_t owner, const std::string&) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(owner, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return std::nullopt;
    return std::string(found->pw_name);
}

std::optional<std::string> KOR_FilesUtils::getGroupNameForID(gid_t group, const std::string&) {
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->gr_name)
        return std::nullopt;
    return std::string(found->gr_name);
}

bool KOR_FilesUtils::isVisible(const std::string& path) {
    const std::string name = lastComponentOf(path);
    return name.empty() || name[0] != '.';
}

int KOR_FilesUtils::setVisible(const std::string& path, bool visible, std::string* renamed) {
    const std::string clean = normalised(path);
    const std::string name = lastComponentOf(clean);
    if (renamed)
        *renamed = path;
    if (name.empty() || !exists(clean))
        return kNoSuchItem;
    if (isVisible(clean) == visible)
        return 0;
    const std::string shown =
        name.substr(name.find_first_not_of('.') == std::string::npos ? 0 : name.find_first_not_of('.'));
    if (visible && (shown.empty() || shown == name))
        return -EINVAL; // a name of dots only has nothing to show
    const std::string wanted = visible ? shown : "." + name;
    const std::string parent = clean.substr(0, clean.rfind('/'));
    const std::string target = (parent.empty() ? std::string() : parent) + "/" + wanted;
    if (::renameat2(AT_FDCWD, clean.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0)
        return -errno;
    if (renamed)
        *renamed = target;
    return 0;
}

int KOR_FilesUtils::rename(const std::string& path, const std::string& newName) {
    if (newName.empty() || newName == "." || newName == ".." || newName.find('/') != std::string::npos)
        return -EINVAL;
    const std::string clean = normalised(path);
    if (!exists(clean))
        return kNoSuchItem;
    const std::string parent = clean.substr(0, clean.rfind('/'));
    const std::string target = parent + "/" + newName;
    // A locked item cannot be renamed: its lock is lifted for the rename and put back on the same item.
    UniqueFd item = getFSRef(clean);
    const bool locked = item && isLockedItem(item.get());
    if (locked && setLockedFlag(item.get(), false) != 0)
        return -EPERM;
    const int result =
        ::renameat2(AT_FDCWD, clean.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0 ? 0 : -errno;
    if (locked)
        setLockedFlag(item.get(), true);
    return result;
}

int KOR_FilesUtils::forceFolderToUpdate(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return negativeErrno();
    if (!S_ISDIR(st.st_mode)) {
        const std::string clean = normalised(path);
        const std::string parent = clean.substr(0, clean.rfind('/'));
        return forceFolderToUpdate(parent.empty() ? std::string("/") : parent);
    }
    struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    times[1].tv_sec ^= 1; // one second away, and back again next time
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

// ---- processes ----

std::vector<std::string> KOR_FilesUtils::launchedProcessPaths(const std::string& procRoot) {
    std::vector<std::string> paths;
    DirHandle proc = DirHandle::ofPath(procRoot);
    while (const dirent* entry = proc.next()) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || !end || *end)
            continue;
        char target[PATH_MAX];
        const std::string exe = std::string(entry->d_name) + "/exe";
        const ssize_t n = ::readlinkat(proc.fd(), exe.c_str(), target, sizeof target - 1);
        if (n <= 0 || target[0] != '/')
            continue; // a kernel thread, or another user's process
        std::string path(target, static_cast<std::size_t>(n));
        static const std::string kDeleted = " (deleted)";
        if (path.size() > kDeleted.size() &&
            path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
            path.resize(path.size() - kDeleted.size());
        paths.push_back(std::move(path));
    }
    return paths;
}

int KOR_FilesUtils::countProcessesNamed(const std::vector<std::string>& paths, const std::string& name) {
    const std::string wanted = withoutExtension(lastComponentOf(name));
    return static_cast<int>(std::count_if(paths.begin(), paths.end(), [&](const std::string& path) {
        return !wanted.empty() && withoutExtension(lastComponentOf(path)) == wanted;
    }));
}

std::vector<std::string> KOR_FilesUtils::getListOfLaunchedProcess() {
    return launchedProcessPaths("/proc");
}

bool KOR_FilesUtils::isProcessLaunchedWithPath(const std::string& path) {
    const auto paths = getListOfLaunchedProcess();
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

int KOR_FilesUtils::numberOfProcessesLaunchedWithName(const std::string& name) {
    return countProcessesNamed(getListOfLaunchedProcess(), name);
}

bool KOR_FilesUtils::isProcessLaunchedWithName(const std::string& name) {
    return numberOfProcessesLaunchedWithName(name) > 0;
}

bool KOR_FilesUtils::isApplicationLaunchedWithPath(const std::string& path) {
    return isProcessLaunchedWithPath(path);
}

bool KOR_FilesUtils::isApplicationLaunchedWithName(const std::string& name) {
    return isProcessLaunchedWithName(name);
}

std::string KOR_FilesUtils::getMachineArchitecture() {
    struct utsname names {};
    return ::uname(&names) == 0 ? std::string(names.machine) : std::string();
}

} // namespace bw
