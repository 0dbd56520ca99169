#include "cache_pruning.h"

#include "files/log_line.h"
#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "plist/reference_time.h"
#include "files/dir_handle.h"
#include "files/no_follow.h"
#include "files/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace bw {

namespace {

// Names of the entries of an open folder, sorted by name as the original platform lists them.
std::vector<std::string> sortedEntryNames(int dirFd) {
    std::vector<std::string> names;
    DirHandle dir = DirHandle::listing(dirFd);
    while (const dirent* entry = dir.next())
        names.emplace_back(entry->d_name);
    std::sort(names.begin(), names.end());
    return names;
}

// Whether the batch's index file opens and yields its first byte.
bool indexCanBeOpened(int batchFd) {
    UniqueFd fd(openat(batchFd, kCacheIndexFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    char byte;
    ssize_t got;
    while ((got = read(fd.get(), &byte, 1)) < 0 && errno == EINTR) {
    }
    return got == 1;
}

} // namespace

std::vector<BatchFacts> listBatches(const std::string& cacheFolder) {
    std::vector<BatchFacts> batches;
    UniqueFd cacheFd(open(cacheFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (cacheFd.get() < 0)
        return batches;
    for (const auto& name : sortedEntryNames(cacheFd.get())) {
        UniqueFd batchFd = openDirAt(cacheFd.get(), name.c_str());
        if (batchFd.get() < 0)
            continue; // not a folder
        BatchFacts facts;
        facts.name = name;
        struct stat st {};
        if (fstatat(batchFd.get(), kCacheIndexFileName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_size > 0) {
            auto index = readCacheIndexAt(batchFd.get());
            if (index) {
                facts.day = dayValueForTime(index->cacheLastAdditionTime());
                facts.cacheSize = index->cacheSize();
            } else if (indexCanBeOpened(batchFd.get())) {
                // Its content cannot be decompressed or unarchived: it counts as the reference date itself.
                facts.day = dayValueForTime(0.0);
            } else {
                // Not opened this time (permissions, no descriptor left, a failing disk): that tells
                // nothing about the batch's age, so no pass removes it by age until it can be read.
                bw::logLine(LOG_WARNING, "listBatches: the index of %s/%s cannot be read; the batch is kept",
                            cacheFolder.c_str(), name.c_str());
            }
        }
        batches.push_back(std::move(facts));
    }
    return batches;
}

namespace {

std::int64_t activityDaysOf(const std::vector<BatchFacts>& batches) {
    std::int64_t count = 0;
    std::int64_t previous = 0;
    for (const auto& batch : batches) {
        if (!batch.day)
            continue;
        if (*batch.day != previous)
            ++count;
        previous = *batch.day;
    }
    return count;
}

} // namespace

std::int64_t cacheActivityDays(const std::string& cacheFolder) {
    return activityDaysOf(listBatches(cacheFolder));
}

std::vector<std::string> removeCacheOlderThan(const std::string& cacheFolder, std::int64_t days) {
    std::vector<std::string> removed;
    if (days < 0)
        return removed;
    auto batches = listBatches(cacheFolder);
    std::vector<std::int64_t> activity;
    for (const auto& batch : batches) {
        if (batch.day && (activity.empty() || activity.back() != *batch.day))
            activity.push_back(*batch.day);
    }
    std::sort(activity.begin(), activity.end());
    // A day listed twice must not take the place of another recent day.
    activity.erase(std::unique(activity.begin(), activity.end()), activity.end());
    if (static_cast<std::int64_t>(activity.size()) <= days)
        return removed;
    activity.resize(activity.size() - static_cast<std::size_t>(days));

    UniqueFd cacheFd(open(cacheFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (cacheFd.get() < 0)
        return removed;
    for (const auto& batch : batches) {
        if (!batch.day || !std::binary_search(activity.begin(), activity.end(), *batch.day))
            continue;
        if (removeTreeAt(cacheFd.get(), batch.name))
            removed.push_back(batch.name);
    }
    return removed;
}

PruneReport pruneCache(const std::string& cacheFolder, std::int64_t cacheLifeInDays, std::int64_t minimumPercent,
                       uid_t uid, const VolumeSizesFunction& volumeSizes,
                       const std::function<bool(const std::string&)>& isVolumeMountPoint) {
    PruneReport report;
    // One listing serves both the activity count and the size unless batches were removed.
    std::vector<BatchFacts> batches = listBatches(cacheFolder);
    if (cacheLifeInDays != 0 && activityDaysOf(batches) > cacheLifeInDays) {
        report.removed = removeCacheOlderThan(cacheFolder, cacheLifeInDays);
        if (!report.removed.empty())
            batches = listBatches(cacheFolder);
    }
    for (const auto& batch : batches)
        report.cacheSize += batch.cacheSize;

    report.volumePath = volumePathForCache(cacheFolder, uid, isVolumeMountPoint);
    if (!volumeSizes(cacheFolder, report.freeBytes, report.totalBytes) || report.totalBytes == 0) {
        // A missing cache folder is measured on the folder that would hold it.
        std::string fallback = report.volumePath;
        if (fallback == "/") {
            auto slash = cacheFolder.rfind('/');
            fallback = slash == std::string::npos || slash == 0 ? "/" : cacheFolder.substr(0, slash);
        }
        volumeSizes(fallback, report.freeBytes, report.totalBytes);
    }
    if (report.totalBytes == 0)
        return report;
    report.measured = true;
    report.space = checkFreeSpace(report.freeBytes, report.totalBytes, report.cacheSize, minimumPercent);
    return report;
}

} // namespace bw
