#pragma once
// Mounted volumes from /proc/self/mountinfo, the volume that holds a path, its label and its sizes.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bw {

struct MountEntry {
    std::string mountPoint; // unescaped
    std::string fsType;
    std::string source; // the device, e.g. /dev/sdb1
    std::string options{}; // the mount's options, then the file system's ("rw,nosuid,rw,uid=1000,…")
};

// Every mount listed in a mountinfo file (normally /proc/self/mountinfo), in its order.
std::vector<MountEntry> readMountTable(const std::string& mountinfoPath = "/proc/self/mountinfo");

// Network file systems (nfs, cifs, sshfs …) and pseudo file systems (proc, tmpfs, overlay …).
bool isNetworkFileSystem(const std::string& fsType);
bool isPseudoFileSystem(const std::string& fsType);
// File systems that keep POSIX owners and modes: ext2/3/4, xfs, btrfs, f2fs, zfs, jfs, reiserfs,
// bcachefs, nilfs2, hfsplus.
bool isPosixOwnershipFileSystem(const std::string& fsType);
// File systems with no owners of their own, where one owner is chosen at mount time (uid=): vfat,
// msdos, exfat, ntfs, ntfs3, and the same through FUSE (fuseblk).
bool isFixedOwnershipFileSystem(const std::string& fsType);

// The volumes a desktop shows: "/" first, then the local mounts under /media, /run/media and /mnt.
std::vector<std::string> mountedLocalVolumes(const std::vector<MountEntry>& table);
std::vector<std::string> mountedLocalVolumes();

// The mount that holds `path` (longest mount point that is a prefix of it by whole components).
std::optional<MountEntry> mountForPath(const std::string& path, const std::vector<MountEntry>& table);

// Whether `path` lies on a network file system (an empty path is on none).
bool isVolumeServer(const std::string& path, const std::vector<MountEntry>& table);
// Whether `path` (trailing slashes aside) is itself a mount point, "/" included.
bool isMountPoint(const std::string& path, const std::vector<MountEntry>& table);
// Whether `path` is itself a mount point other than "/".
bool isVolumeMountPoint(const std::string& path, const std::vector<MountEntry>& table);

// The file-system label of a device, from the links in byLabelDir (normally /dev/disk/by-label);
// nothing when it has none.
std::optional<std::string> labelForDevice(const std::string& device,
                                          const std::string& byLabelDir = "/dev/disk/by-label");

// The display name of the volume that holds `path`: its label when it has one, else its mount point.
std::string volumeDisplayName(const std::string& path);

// Free bytes (available to unprivileged users) and total bytes of the file system holding `path`,
// from statvfs; false (and zeros) when it cannot be read.
bool volumeSizes(const std::string& path, std::uint64_t& freeBytes, std::uint64_t& totalBytes);

} // namespace bw
