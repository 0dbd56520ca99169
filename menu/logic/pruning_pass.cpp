#include "pruning_pass.h"

#include "files/mount_table.h"

namespace bw {

PruneReport runPruningPass(const std::string& cacheFolder, const AgentSettings& settings, uid_t uid,
                           const std::string& mountTableFile) {
    const std::vector<MountEntry> mounts = readMountTable(mountTableFile);
    return pruneCache(
        cacheFolder, settings.cacheLifeInDays, settings.percentFreeSpaceMini, uid,
        [](const std::string& path, std::uint64_t& freeBytes, std::uint64_t& totalBytes) {
            return volumeSizes(path, freeBytes, totalBytes);
        },
        [&mounts](const std::string& path) { return isVolumeMountPoint(path, mounts); });
}

} // namespace bw
