#include "files/mount_table.h"

#include "files/dir_handle.h"

#include "files/log_line.h"

#include <dirent.h>
#include <limits.h>
#include <sys/statvfs.h>
#include <syslog.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace bw {

namespace {

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// mountinfo writes space, tab, newline and backslash as octal escapes ("\040").
std::string unescapeOctal(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && isOctal(text[i + 1]) && isOctal(text[i + 2]) &&
            isOctal(text[i + 3])) {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// udev writes unsafe characters of labels as "\xHH".
std::string unescapeHex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool isUnder(const std::string& path, const std::string& folder) {
    if (folder == "/")
        return !path.empty() && path[0] == '/';
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

} // namespace

std::vector<MountEntry> readMountTable(const std::string& mountinfoPath) {
    std::vector<MountEntry> table;
    std::ifstream in(mountinfoPath);
    if (!in) {
        bw::logLine(LOG_ERR, "readMountTable: cannot read %s", mountinfoPath.c_str());
        return table;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, mountPoint, options, field;
        if (!(fields >> id >> parent >> devno >> root >> mountPoint >> options))
            continue;
        // Optional fields end at a lone "-".
        while (fields >> field && field != "-") {
        }
        MountEntry entry;
        entry.mountPoint = unescapeOctal(mountPoint);
        if (!(fields >> entry.fsType))
            continue;
        std::string superOptions;
        fields >> entry.source >> superOptions;
        entry.source = unescapeOctal(entry.source);
        entry.options = superOptions.empty() ? options : options + "," + superOptions;
        table.push_back(std::move(entry));
    }
    return table;
}

bool isNetworkFileSystem(const std::string& fsType) {
    static const std::set<std::string> kNetwork = {
        "nfs",  "nfs4",      "cifs",  "smb3",           "smbfs", "fuse.sshfs",  "9p",   "afs",
        "ceph", "glusterfs", "ncpfs", "fuse.glusterfs", "davfs", "fuse.davfs2", "coda", "lustre"};
    return kNetwork.count(fsType) > 0;
}

bool isPseudoFileSystem(const std::string& fsType) {
    static const std::set<std::string> kPseudo = {
        "proc",       "sysfs",     "devtmpfs", "devpts",          "tmpfs",       "securityfs", "cgroup",
        "cgroup2",    "pstore",    "bpf",      "debugfs",         "tracefs",     "configfs",   "fusectl",
        "mqueue",     "hugetlbfs", "autofs",   "binfmt_misc",     "overlay",     "squashfs",   "efivarfs",
        "rpc_pipefs", "nsfs",      "ramfs",    "fuse.gvfsd-fuse", "fuse.portal", "selinuxfs"};
    return kPseudo.count(fsType) > 0;
}

bool isPosixOwnershipFileSystem(const std::string& fsType) {
    static const std::set<std::string> kFamily = {"ext2", "ext3",     "ext4",     "xfs",    "btrfs",  "f2fs",
                                                  "zfs",  "jfs",      "reiserfs", "bcachefs", "nilfs2", "hfsplus"};
    return kFamily.count(fsType) > 0;
}

bool isFixedOwnershipFileSystem(const std::string& fsType) {
    static const std::set<std::string> kFamily = {"vfat", "msdos", "exfat", "ntfs", "ntfs3", "fuseblk"};
    return kFamily.count(fsType) > 0;
}

std::vector<std::string> mountedLocalVolumes(const std::vector<MountEntry>& table) {
    std::vector<std::string> volumes{"/"};
    for (const auto& entry : table) {
        const auto& point = entry.mountPoint;
        bool desktopPlace = isUnder(point, "/media") || isUnder(point, "/run/media") || isUnder(point, "/mnt");
        if (!desktopPlace || point == "/media" || point == "/run/media" || point == "/mnt")
            continue;
        if (isNetworkFileSystem(entry.fsType) || isPseudoFileSystem(entry.fsType))
            continue;
        if (std::find(volumes.begin(), volumes.end(), point) == volumes.end())
            volumes.push_back(point);
    }
    return volumes;
}

std::vector<std::string> mountedLocalVolumes() {
    return mountedLocalVolumes(readMountTable());
}

std::optional<MountEntry> mountForPath(const std::string& path, const std::vector<MountEntry>& table) {
    std::optional<MountEntry> best;
    // The last mount on a point hides the earlier ones, so later entries win ties.
    for (const auto& entry : table) {
        if (isUnder(path, entry.mountPoint) && (!best || entry.mountPoint.size() >= best->mountPoint.size()))
            best = entry;
    }
    return best;
}

bool isMountPoint(const std::string& path, const std::vector<MountEntry>& table) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    return std::any_of(table.begin(), table.end(), [&](const MountEntry& e) { return e.mountPoint == trimmed; });
}

bool isVolumeMountPoint(const std::string& path, const std::vector<MountEntry>& table) {
    return path.find_first_not_of('/') != std::string::npos && isMountPoint(path, table);
}

std::optional<std::string> labelForDevice(const std::string& device, const std::string& byLabelDir) {
    if (device.empty() || device[0] != '/')
        return std::nullopt;
    char deviceReal[PATH_MAX];
    if (!realpath(device.c_str(), deviceReal))
        return std::nullopt;
    DirHandle dir = DirHandle::ofPath(byLabelDir);
    while (const dirent* entry = dir.next()) {
        if (entry->d_name[0] == '.')
            continue;
        std::string link = byLabelDir + "/" + entry->d_name;
        char target[PATH_MAX];
        if (realpath(link.c_str(), target) && std::strcmp(target, deviceReal) == 0)
            return unescapeHex(entry->d_name);
    }
    return std::nullopt;
}

std::string volumeDisplayName(const std::string& path) {
    auto mount = mountForPath(path, readMountTable());
    if (!mount)
        return path.empty() ? std::string() : std::string("/");
    if (auto label = labelForDevice(mount->source))
        return *label;
    return mount->mountPoint;
}

bool volumeSizes(const std::string& path, std::uint64_t& freeBytes, std::uint64_t& totalBytes) {
    freeBytes = totalBytes = 0;
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0) {
        bw::logLine(LOG_ERR, "volumeSizes: statvfs %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    std::uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    freeBytes = static_cast<std::uint64_t>(info.f_bavail) * unit;
    totalBytes = static_cast<std::uint64_t>(info.f_blocks) * unit;
    return true;
}

bool isVolumeServer(const std::string& path, const std::vector<MountEntry>& table) {
    if (path.empty())
        return false;
    std::optional<MountEntry> mount = mountForPath(path, table);
    return mount && isNetworkFileSystem(mount->fsType);
}

} // namespace bw
