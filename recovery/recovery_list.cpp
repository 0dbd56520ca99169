#include "recovery_list.h"

#include "atomic_file.h"
#include "cache_index.h"
#include "cache_paths.h"
#include "fd_utils.h"
#include "reference_time.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace bw {

namespace {

std::string joined(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

// A stored name from an index must name an entry of its batch folder, never lead out of it.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string homeFromPasswordDatabase(uid_t uid) {
    struct passwd pwd {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &pwd, buffer, sizeof buffer, &found) != 0 || !found || !found->pw_dir)
        return {};
    return found->pw_dir;
}

bool isFolderAt(int dirFd, const char* name, unsigned char type) {
    if (type == DT_DIR)
        return true;
    if (type != DT_UNKNOWN)
        return false;
    struct stat st;
    return lstatAt(dirFd, name, st) && S_ISDIR(st.st_mode);
}

} // namespace

std::string pathExtension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return {};
    return name.substr(dot + 1);
}

std::string nameWithoutExtension(const std::string& name) {
    const std::string extension = pathExtension(name);
    return extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
}

CacheLocations CacheLocations::current() {
    CacheLocations locations;
    locations.uid = ::getuid();
    const char* home = std::getenv("HOME");
    locations.homeFolder = home && home[0] == '/' ? std::string(home) : homeFromPasswordDatabase(locations.uid);
    locations.mounts = readMountTable();
    locations.localVolumes = mountedLocalVolumes(locations.mounts);
    return locations;
}

bool isVolumeServer(const std::string& path, const std::vector<MountEntry>& mounts) {
    const std::optional<MountEntry> mount = mountForPath(path, mounts);
    return mount && isNetworkFileSystem(mount->fsType);
}

std::string homeCacheFolder(const std::string& homeFolder) {
    return joined(homeFolder, kCacheFolderName);
}

std::vector<std::string> cacheFoldersOfUser(const CacheLocations& locations) {
    std::vector<std::string> folders;
    for (const std::string& volume : locations.localVolumes) {
        if (volume == "/Network" || isVolumeServer(volume, locations.mounts))
            continue;
        std::string folder;
        if (volume == "/") {
            folder = homeCacheFolder(locations.homeFolder);
        } else {
            folder = joined(volume, kCacheFolderName);
            struct stat st;
            if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                continue;
        }
        if (folder.find(locations.homeFolder) == std::string::npos)
            folder += "/" + std::to_string(locations.uid);
        folders.push_back(std::move(folder));
    }
    return folders;
}

std::vector<RecoveryItem> getCacheContent(const std::string& cacheFolder, double windowSeconds, double now) {
    std::vector<RecoveryItem> items;
    UniqueFd cache = openFolderNoFollow(cacheFolder);
    if (!cache)
        return items;
    const double threshold = windowSeconds == 0.0 ? 0.0 : now - windowSeconds - kTimeWindowGrace;
    DirReader reader(cache.get());
    while (const struct dirent* entry = reader.next()) {
        if (!isFolderAt(cache.get(), entry->d_name, entry->d_type))
            continue;
        UniqueFd batch = openDirAt(cache.get(), entry->d_name);
        if (!batch)
            continue;
        const std::optional<BWCacheIndex> index = readCacheIndexAt(batch.get());
        if (!index || !index->indexTable() || index->cacheLastAdditionTime() < threshold)
            continue;
        const std::string batchFolder = joined(cacheFolder, entry->d_name);
        for (const auto& [storedName, indexEntry] : *index->indexTable()) {
            if (indexEntry.realName.empty() || !isPlainName(storedName))
                continue;
            RecoveryItem item;
            item.rawItemPath = batchFolder + "/" + storedName;
            item.batchFolder = batchFolder;
            item.storedName = storedName;
            item.displayName = indexEntry.realName;
            item.cacheDate = indexEntry.addDate;
            item.originalPath = indexEntry.originalPath;
            item.batchLastAddition = index->cacheLastAdditionTime();
            struct stat st;
            if (lstatAt(batch.get(), storedName.c_str(), st)) {
                item.isFolder = S_ISDIR(st.st_mode);
                if (!item.isFolder && st.st_size > 0)
                    item.itemSize = static_cast<std::uint64_t>(st.st_size);
            }
            items.push_back(std::move(item));
        }
    }
    sortNewestFirst(items);
    return items;
}

std::vector<RecoveryItem> getCacheContent(const std::string& cacheFolder, double windowSeconds) {
    return getCacheContent(cacheFolder, windowSeconds, timeIntervalSinceReferenceDate());
}

std::vector<RecoveryItem> getAllCacheContentWithTimeLimitation(const CacheLocations& locations,
                                                              double windowSeconds, double now) {
    std::vector<RecoveryItem> all;
    for (const std::string& folder : cacheFoldersOfUser(locations)) {
        std::vector<RecoveryItem> items = getCacheContent(folder, windowSeconds, now);
        all.insert(all.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    }
    sortNewestFirst(all);
    return all;
}

void sortNewestFirst(std::vector<RecoveryItem>& items) {
    std::sort(items.begin(), items.end(),
              [](const RecoveryItem& a, const RecoveryItem& b) { return b.cacheDate < a.cacheDate; });
}

std::vector<RecoveryItem> itemsWithinWindow(const std::vector<RecoveryItem>& all, int hours, double now) {
    if (hours <= 0)
        return all;
    const double threshold = now - hours * 3600.0 - kTimeWindowGrace;
    std::vector<RecoveryItem> kept;
    for (const RecoveryItem& item : all)
        if (item.batchLastAddition >= threshold)
            kept.push_back(item);
    return kept;
}

int automaticWindowHours(const std::vector<RecoveryItem>& all, double now) {
    double newest = -1e300;
    for (const RecoveryItem& item : all)
        newest = std::max(newest, item.batchLastAddition);
    for (const int hours : kAutomaticWindowHours)
        if (!all.empty() && newest >= now - hours * 3600.0 - kTimeWindowGrace)
            return hours;
    return 0;
}

} // namespace bw
