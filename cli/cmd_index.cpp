// bw2ctl index: shows a batch folder's index as JSON.

#include "command.h"
#include "show_arguments.h"

#include "files/atomic_file.h"
#include "store/cache_index.h"
#include "files/dir_handle.h"
#include "files/folder_size.h"
#include "plist/json_writer.h"
#include "plist/reference_time.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

void printIndexHelp(FILE* out) {
    std::fprintf(out,
                 "usage: bw2ctl index show BATCH_FOLDER\n"
                 "       bw2ctl index rebuild BATCH_FOLDER\n\n"
                 "Prints the batch folder's %s as one JSON object:\n"
                 "  {\"permissionsRepaired\": bool, \"cacheSize\": bytes, \"cacheCreationTime\": t,\n"
                 "   \"cacheLastAdditionTime\": t, \"entries\": {\"<stored name>\": {\"name\": \"<trash name>\",\n"
                 "   \"added\": t, \"originalPath\": \"<where it was trashed from, when known>\"}, ...}}\n"
                 "Times are seconds since 1 January 2001 UTC; \"entries\" is null when the index has no table.\n"
                 "Exits 1 when the folder holds no readable index.\n\n"
                 "rebuild lists again every item stored in the batch folder: an item the index does not name\n"
                 "gets an entry under its stored name, dated when it was stored (its status change time);\n"
                 "entries whose item is gone are dropped. An index that cannot be read is kept aside\n"
                 "(%s<date>) and a new one is written. Exits 1 when nothing could be written.\n",
                 bw::kCacheIndexFileName, bw::kUnreadableIndexPrefix);
}

// Stored items: everything in the folder but its index, indexes kept aside, temporary files (their names
// start with a dot) and a copy cut short.
bool isStoredItemName(const char* name) {
    return name[0] != '.' && !bw::isCacheIndexFileName(name) && std::strcmp(name, "KOREVTemporaryFile1247853912Zx") != 0;
}

int rebuildIndex(const std::string& path) {
    const std::string folder = bw::cli::resolvedShowPath(path);
    bw::UniqueFd batch = bw::openFolderNoFollow(folder);
    if (!batch) {
        std::fprintf(stderr, "bw2ctl index rebuild: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    bw::BatchFolderLock lock(batch.get());
    if (!lock.isLocked()) {
        std::fprintf(stderr, "bw2ctl index rebuild: %s stays locked by another program; try again later\n",
                     path.c_str());
        return 1;
    }
    bool fresh = false;
    std::optional<bw::BWCacheIndex> index = bw::loadCacheIndexForUpdateAt(batch.get(), fresh);
    if (!index) {
        std::fprintf(stderr, "bw2ctl index rebuild: the index of %s can be neither read nor kept aside\n",
                     path.c_str());
        return 1;
    }
    bw::BWIndexTable table = index->takeIndexTable().value_or(bw::BWIndexTable{});
    const std::size_t before = table.size();
    index->setIndexTable(std::move(table));
    index->sanityCheckAt(batch.get());
    table = index->takeIndexTable().value_or(bw::BWIndexTable{});
    const std::size_t dropped = before - table.size();

    std::size_t added = 0;
    std::uint64_t size = 0;
    double newest = index->cacheLastAdditionTime();
    double oldest = 0.0;
    bw::FolderSizer sizer;
    bw::DirHandle dir = bw::DirHandle::listing(batch.get());
    if (!dir) {
        std::fprintf(stderr, "bw2ctl index rebuild: cannot list %s\n", path.c_str());
        return 1;
    }
    while (const struct dirent* entry = dir.next()) {
        if (!isStoredItemName(entry->d_name))
            continue;
        struct stat st {};
        if (::fstatat(batch.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        size += sizer.measureAt(batch.get(), entry->d_name).bytes;
        // Moving an item into the batch changed its status: that time says when it was stored.
        const double stored = bw::referenceTimeFromTimespec(st.st_ctim);
        oldest = oldest == 0.0 ? stored : std::min(oldest, stored);
        if (table.count(entry->d_name))
            continue;
        table.emplace(entry->d_name, bw::BWCacheIndexEntry{entry->d_name, stored});
        newest = std::max(newest, stored);
        ++added;
    }
    if (fresh)
        index->setCacheCreationTime(oldest != 0.0 ? oldest : bw::timeIntervalSinceReferenceDate());
    if (newest == 0.0)
        newest = bw::timeIntervalSinceReferenceDate();
    index->setCacheLastAdditionTime(newest);
    index->setCacheSize(size);
    const std::size_t entries = table.size();
    index->setIndexTable(std::move(table));
    if (!bw::writeCacheIndexAt(*index, batch.get(), static_cast<uid_t>(-1), static_cast<gid_t>(-1))) {
        std::fprintf(stderr, "bw2ctl index rebuild: cannot write the index of %s\n", path.c_str());
        return 1;
    }
    std::printf("%s: %zu entries, %zu added, %zu dropped\n", folder.c_str(), entries, added, dropped);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int runIndex(const std::vector<std::string>& args) {
    if (args.size() == 2 && args[0] == "rebuild")
        return rebuildIndex(args[1]);
    if (const int status = bw::cli::checkShowArguments(args, printIndexHelp); status != bw::cli::kShowPath)
        return status;
    const auto index = bw::readCacheIndex(bw::cli::resolvedShowPath(args[1]));
    if (!index) {
        std::fprintf(stderr, "bw2ctl index: no readable %s in %s\n", bw::kCacheIndexFileName, args[1].c_str());
        return 1;
    }
    bw::JsonWriter json;
    json.beginObject();
    json.key("permissionsRepaired").value(index->permissionsRepaired());
    json.key("cacheSize").value(index->cacheSize());
    json.key("cacheCreationTime").value(index->cacheCreationTime());
    json.key("cacheLastAdditionTime").value(index->cacheLastAdditionTime());
    json.key("entries");
    if (index->indexTable()) {
        json.beginObject();
        for (const auto& [storedName, entry] : *index->indexTable()) {
            json.key(storedName).beginObject();
            json.key("name").value(entry.realName);
            json.key("added").value(entry.addDate);
            if (entry.originalPath)
                json.key("originalPath").value(*entry.originalPath);
            json.endObject();
        }
        json.endObject();
    } else {
        json.null();
    }
    json.endObject();
    std::printf("%s\n", json.text().c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

BW2CTL_COMMAND("index", "show a batch folder's index (CacheIndex.bw2idx) as JSON, or rebuild it", runIndex);
