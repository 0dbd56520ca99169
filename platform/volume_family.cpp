#include "volume_family.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace bw {

bool isPosixOwnershipFileSystem(const std::string& fsType) {
    static constexpr std::array<std::string_view, 12> kFamily = {
        "ext2", "ext3", "ext4", "xfs", "btrfs", "f2fs", "zfs", "jfs", "reiserfs", "bcachefs", "nilfs2", "hfsplus"};
    return std::find(kFamily.begin(), kFamily.end(), fsType) != kFamily.end();
}

bool isVolumeHFS(const std::string& path, const std::vector<MountEntry>& table) {
    auto mount = mountForPath(path, table);
    return mount && isPosixOwnershipFileSystem(mount->fsType);
}

bool isVolumeHFS(const std::string& path) {
    return isVolumeHFS(path, readMountTable());
}

bool isTimeMachineVolume(const std::string& path) {
    struct stat st {};
    return lstat((path + "/Backups.backupdb").c_str(), &st) == 0;
}

} // namespace bw
