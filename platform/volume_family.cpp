#include "volume_family.h"

#include <sys/stat.h>

namespace bw {

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
