#include "recovery_list.h"

#include "files/atomic_file.h"
#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "fd_utils.h"
#include "plist/reference_time.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <thread>

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

namespace {

// The listed items of one batch folder, appended to `items`.
void readBatch(int cacheFd, const std::string& cacheFolder, const std::string& name, double threshold,
               std::vector<RecoveryItem>& items) {
    UniqueFd batch = openDirAt(cacheFd, name.c_str());
    if (!batch)
        return;
    const std::optional<BWCacheIndex> index = readCacheIndexAt(batch.get());
    if (!index || !index->indexTable() || index->cacheLastAdditionTime() < threshold)
        return;
    const std::string batchFolder = joined(cacheFolder, name);
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

// Batches are independent, so a large cache is read by a few threads side by side.
constexpr std::size_t kBatchesPerThread = 64;
constexpr unsigned kMaxReaders = 4;

} // namespace

std::vector<RecoveryItem> getCacheContent(const std::string& cacheFolder, double windowSeconds, double now) {
    std::vector<RecoveryItem> items;
    UniqueFd cache = openFolderNoFollow(cacheFolder);
    if (!cache)
        return items;
    const double threshold = windowSeconds == 0.0 ? 0.0 : now - windowSeconds - kTimeWindowGrace;
    std::vector<std::string> batches;
    {
        DirHandle reader = DirHandle::listing(cache.get());
        while (const struct dirent* entry = reader.next())
            if (isFolderAt(cache.get(), entry->d_name, entry->d_type))
                batches.emplace_back(entry->d_name);
    }

    const unsigned readers = static_cast<unsigned>(
        std::min<std::size_t>({static_cast<std::size_t>(std::max(1u, std::thread::hardware_concurrency())), kMaxReaders,
                               batches.size() / kBatchesPerThread + 1}));
    std::vector<std::vector<RecoveryItem>> parts(readers);
    std::vector<std::thread> threads;
    auto readPart = [&](unsigned part) {
        for (std::size_t i = part; i < batches.size(); i += readers)
            readBatch(cache.get(), cacheFolder, batches[i], threshold, parts[part]);
    };
    for (unsigned part = 1; part < readers; ++part) {
        try {
            threads.emplace_back(readPart, part);
        } catch (const std::system_error&) {
            readPart(part); // no thread to be had: read it here
        }
    }
    readPart(0);
    for (std::thread& thread : threads)
        thread.join();

    std::size_t total = 0;
    for (const auto& part : parts)
        total += part.size();
    items.reserve(total);
    for (auto& part : parts)
        items.insert(items.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
    sortNewestFirst(items);
    return items;
}

std::vector<RecoveryItem> getCacheContent(const std::string& cacheFolder, double windowSeconds) {
    return getCacheContent(cacheFolder, windowSeconds, timeIntervalSinceReferenceDate());
}

std::vector<RecoveryItem> getAllCacheContentWithTimeLimitation(const CacheLocations& locations, double windowSeconds,
                                                               double now) {
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
