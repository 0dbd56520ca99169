#include "cache_item_removal.h"

#include "files/atomic_file.h"
#include "files/log_line.h"
#include "store/cache_index.h"
#include "daemon.h"
#include "fd_utils.h"
#include "files/folder_size.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

namespace bw {

namespace {

constexpr char kRemoveOperation[] = "-[RecoveryController removeItems:]";

RemovalOutcome failedRemoval(const RecoveryItem& item, std::string error) {
    bw::logLine(LOG_ERR, "%s error: %s (%s)", kRemoveOperation, error.c_str(), item.rawItemPath.c_str());
    RemovalOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

RemovalOutcome removeItem(const RecoveryItem& item) {
    if (item.storedName.empty() || item.storedName.find('/') != std::string::npos || item.storedName == "." ||
        item.storedName == "..")
        return failedRemoval(item, "not a stored item");
    UniqueFd batch = openFolderNoFollow(item.batchFolder);
    if (!batch)
        return failedRemoval(item, std::string("cannot open its batch folder: ") + std::strerror(errno));

    BatchFolderLock lock(batch.get());
    std::optional<BWCacheIndex> index = readCacheIndexAt(batch.get());
    if (!index)
        return failedRemoval(item, "its batch has no readable index; the item stays");
    index->sanityCheckAt(batch.get());
    BWIndexTable table = index->indexTable().value_or(BWIndexTable{});

    const char* name = item.storedName.c_str();
    const std::uint64_t size = FolderSizer().measureAt(batch.get(), name).bytes;
    table.erase(item.storedName);
    Daemon::setLockAt(false, batch.get(), name);
    if (!removeTreeAt(batch.get(), name))
        bw::logLine(LOG_ERR, "%s error: cannot remove %s: %s", kRemoveOperation, item.rawItemPath.c_str(),
                    std::strerror(errno));

    RemovalOutcome outcome;
    outcome.removed = true;
    if (!table.empty()) {
        // A size already below the item's (an index written by hand, a batch added to meanwhile) stops at 0.
        index->setCacheSize(index->cacheSize() >= size ? index->cacheSize() - size : 0);
        index->setIndexTable(std::move(table));
        if (!writeCacheIndexAt(*index, batch.get(), static_cast<uid_t>(-1), static_cast<gid_t>(-1))) {
            // The index writer logged why; the outcome carries the failure to the window.
            RemovalOutcome failure;
            failure.error = "cannot write its batch index";
            return failure;
        }
        return outcome;
    }
    // The last entry went: the batch goes whole. The lock is still held, so no writer adds to it meanwhile;
    // one that opened it before finds it gone and keeps its items in the trash.
    const std::string folder = withoutTrailingSlashes(item.batchFolder);
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos)
        return outcome;
    UniqueFd cache = openFolderNoFollow(slash == 0 ? "/" : folder.substr(0, slash));
    if (!cache || !removeTreeAt(cache.get(), folder.substr(slash + 1).c_str())) {
        bw::logLine(LOG_ERR, "%s error: cannot remove the batch folder %s: %s", kRemoveOperation, folder.c_str(),
                    std::strerror(errno));
        return outcome;
    }
    outcome.batchRemoved = true;
    return outcome;
}

} // namespace

std::vector<RemovalOutcome> removeItems(const std::vector<RecoveryItem>& items,
                                        const std::function<void(std::size_t)>& progress) {
    std::vector<RemovalOutcome> outcomes;
    outcomes.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        outcomes.push_back(removeItem(items[i]));
        if (progress)
            progress(i);
    }
    return outcomes;
}

std::int32_t setLock(bool locked, const std::string& path) {
    return Daemon::setLock(locked, path);
}

std::uint64_t getFolderSize(const std::string& path) {
    return FolderSizer().getFolderSize(path);
}

} // namespace bw
