// The room-to-free arithmetic and the volume of a cache folder, in unsigned 64-bit integers.

#include "store/cache_paths.h"
#include "cache_pruning.h"
#include "plist/reference_time.h"

#include <ctime>

namespace bw {

std::int64_t dayValueForTime(double referenceTime) {
    std::time_t unixTime = static_cast<std::time_t>(unixFromReferenceTime(referenceTime));
    std::tm local{};
    if (!localtime_r(&unixTime, &local))
        return 0;
    return static_cast<std::int64_t>(local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

SpaceCheck checkFreeSpace(std::uint64_t freeBytes, std::uint64_t totalBytes, std::uint64_t cacheSize,
                          std::int64_t minimumPercent) {
    SpaceCheck check;
    if (totalBytes == 0)
        return check;
    using Wide = unsigned __int128;
    check.freePercent = static_cast<std::uint64_t>(static_cast<Wide>(freeBytes) * 100 / totalBytes);
    if (minimumPercent <= 0 || check.freePercent >= static_cast<std::uint64_t>(minimumPercent))
        return check;
    Wide missing = static_cast<Wide>(static_cast<std::uint64_t>(minimumPercent) - check.freePercent);
    check.roomToFree = static_cast<std::uint64_t>((missing * totalBytes / 4) / 25 + 1);
    if (cacheSize < check.roomToFree)
        check.verdict = SpaceVerdict::DiskFullAlert;
    else if (cacheSize > check.roomToFree)
        check.verdict = SpaceVerdict::MustDeleteData;
    else
        check.verdict = SpaceVerdict::NothingToDo;
    return check;
}

DiskFullDetails diskFullDetails(std::uint64_t freeBytes, std::uint64_t totalBytes, std::uint64_t freePercent,
                                std::uint64_t cacheSize) {
    return {static_cast<std::uint32_t>(totalBytes / 1000000000ULL),
            static_cast<std::uint32_t>(freeBytes / 1000000000ULL), static_cast<std::uint32_t>(freePercent),
            static_cast<std::uint32_t>(cacheSize / 1000000ULL)};
}

std::string volumePathForCache(const std::string& cacheFolder, uid_t uid,
                               const std::function<bool(const std::string&)>& isVolumeMountPoint) {
    std::string suffix = std::string("/") + kCacheFolderName + "/" + std::to_string(uid);
    if (cacheFolder.size() > suffix.size() &&
        cacheFolder.compare(cacheFolder.size() - suffix.size(), suffix.size(), suffix) == 0) {
        // Keep the "/" that ends the volume path, as the per-user cache folder is undone.
        std::string volume = cacheFolder.substr(0, cacheFolder.size() - suffix.size() + 1);
        std::string mount = volume.size() > 1 ? volume.substr(0, volume.size() - 1) : volume;
        if (mount != "/" && isVolumeMountPoint(mount))
            return volume;
    }
    return "/";
}

} // namespace bw
