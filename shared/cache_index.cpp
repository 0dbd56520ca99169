#include "cache_index.h"

#include "atomic_file.h"
#include "keyed_archive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace bw {

namespace {

constexpr char kClassName[] = "BWCacheIndex";
constexpr char kIndexTableKey[] = "indexTableKey";
constexpr char kPermissionsRepairedKey[] = "permissionsRepairedKey";
constexpr char kCacheSizeKey[] = "cacheSizeKey";
constexpr char kCacheCreationKey[] = "cacheCreationKey";
constexpr char kCacheAdditionKey[] = "cacheAdditionKey";

// Index files are a few kilobytes; anything this large is not one.
constexpr std::size_t kMaxIndexFileSize = 256u * 1024u * 1024u;

// Times are archived as whole seconds, truncated towards zero. Times before the reference date (a clock
// set far back) and NaN have no unsigned form and are stored as 0 rather than as undefined bits.
std::uint64_t archivedTime(double time) {
    if (!(time > 0.0))
        return 0;
    if (time >= 18446744073709551616.0)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(time);
}

// A stored name must name an entry of the batch folder itself, never a path leading out of it.
bool isPlainEntryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

std::optional<Bytes> BWCacheIndex::archivedData() const {
    ArchiveValue root = ArchiveValue::object({kClassName});
    ArchiveValue table; // null: no table
    if (m_indexTable) {
        table = ArchiveValue::dictionary();
        table.entries.reserve(m_indexTable->size());
        for (const auto& [storedName, entry] : *m_indexTable) {
            ArchiveValue item = ArchiveValue::dictionary();
            item.entries.emplace_back(kCacheRealNameKey, ArchiveValue::fromString(entry.realName));
            item.entries.emplace_back(kCacheAddDateKey, ArchiveValue::fromReal(entry.addDate));
            if (entry.originalPath)
                item.entries.emplace_back(kCacheOriginalPathKey, ArchiveValue::fromString(*entry.originalPath));
            table.entries.emplace_back(storedName, std::move(item));
        }
    }
    root.entries.emplace_back(kIndexTableKey, std::move(table));
    root.entries.emplace_back(kPermissionsRepairedKey, ArchiveValue::fromBool(m_permissionsRepaired));
    root.entries.emplace_back(kCacheSizeKey, ArchiveValue::fromUInt(m_cacheSize));
    root.entries.emplace_back(kCacheCreationKey, ArchiveValue::fromUInt(archivedTime(m_cacheCreationTime)));
    root.entries.emplace_back(kCacheAdditionKey, ArchiveValue::fromUInt(archivedTime(m_cacheLastAdditionTime)));
    return archivedDataWithRootObject(root);
}

std::optional<BWCacheIndex> BWCacheIndex::unarchive(std::span<const std::uint8_t> archive) {
    auto root = unarchiveRootObject(archive);
    if (!root)
        return std::nullopt;
    if (root->kind != ArchiveValue::Kind::Object || root->className() != kClassName) {
        syslog(LOG_ERR, "BWCacheIndex: the archive's root is a %s, not a %s", root->className().c_str(), kClassName);
        return std::nullopt;
    }
    auto present = [&](const char* key) -> const ArchiveValue* {
        const ArchiveValue* value = root->find(key);
        return value && value->kind != ArchiveValue::Kind::Null ? value : nullptr;
    };
    auto wrongType = [](const char* key) {
        syslog(LOG_ERR, "BWCacheIndex: %s has the wrong type", key);
        return std::nullopt;
    };

    BWCacheIndex index;
    if (const ArchiveValue* table = present(kIndexTableKey)) {
        if (table->kind != ArchiveValue::Kind::Dictionary)
            return wrongType(kIndexTableKey);
        BWIndexTable entries;
        for (const auto& [storedName, item] : table->entries) {
            if (item.kind != ArchiveValue::Kind::Dictionary)
                return wrongType(kIndexTableKey);
            BWCacheIndexEntry entry;
            if (const ArchiveValue* name = item.find(kCacheRealNameKey);
                name && name->kind != ArchiveValue::Kind::Null) {
                if (name->kind != ArchiveValue::Kind::String)
                    return wrongType(kCacheRealNameKey);
                entry.realName = name->stringValue;
            }
            if (const ArchiveValue* date = item.find(kCacheAddDateKey);
                date && date->kind != ArchiveValue::Kind::Null) {
                if (!date->isNumber())
                    return wrongType(kCacheAddDateKey);
                entry.addDate = *date->asDouble();
            }
            // An added key: a value of another type is ignored rather than costing the whole index.
            if (const ArchiveValue* original = item.find(kCacheOriginalPathKey);
                original && original->kind == ArchiveValue::Kind::String)
                entry.originalPath = original->stringValue;
            entries[storedName] = std::move(entry);
        }
        index.m_indexTable = std::move(entries);
    }
    if (const ArchiveValue* flag = present(kPermissionsRepairedKey)) {
        if (!flag->isNumber())
            return wrongType(kPermissionsRepairedKey);
        index.m_permissionsRepaired = *flag->asBool();
    }
    if (const ArchiveValue* size = present(kCacheSizeKey)) {
        if (!size->isNumber())
            return wrongType(kCacheSizeKey);
        index.m_cacheSize = *size->asUInt64();
    }
    if (const ArchiveValue* created = present(kCacheCreationKey)) {
        if (!created->isNumber())
            return wrongType(kCacheCreationKey);
        index.m_cacheCreationTime = static_cast<double>(*created->asUInt64());
    }
    if (const ArchiveValue* added = present(kCacheAdditionKey)) {
        if (!added->isNumber())
            return wrongType(kCacheAdditionKey);
        index.m_cacheLastAdditionTime = static_cast<double>(*added->asUInt64());
    }
    return index;
}

void BWCacheIndex::sanityCheckAtPath(const std::string& batchFolder) {
    // An unopenable folder holds none of the items: every entry goes, as each lookup would fail.
    UniqueFd fd = openFolderNoFollow(batchFolder);
    sanityCheckAt(fd.get());
}

void BWCacheIndex::sanityCheckAt(int batchDirFd) {
    if (!m_indexTable || m_indexTable->empty())
        return;
    BWIndexTable checked = *m_indexTable;
    bool removed = false;
    for (auto it = m_indexTable->rbegin(); it != m_indexTable->rend(); ++it) {
        const std::string& storedName = it->first;
        struct stat st {};
        // A dangling symbolic link is still a stored item.
        const bool exists = batchDirFd >= 0 && isPlainEntryName(storedName) &&
                            ::fstatat(batchDirFd, storedName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists) {
            checked.erase(storedName);
            removed = true;
        }
    }
    if (removed)
        m_indexTable = std::move(checked);
}

std::string BWCacheIndex::description() const {
    // The base description and the reference count of the record as a debugger would show them.
    // "%f" of the largest double is 316 characters, so the buffer holds any record.
    char text[1024];
    std::snprintf(text, sizeof text, "<%s: %p> [%lu]\nCache created on %f, modified on %f, size: %llu Bytes",
                  kClassName, static_cast<const void*>(this), 1ul, m_cacheCreationTime, m_cacheLastAdditionTime,
                  static_cast<unsigned long long>(m_cacheSize));
    return text;
}

std::optional<BWCacheIndex> readCacheIndexAt(int batchDirFd) {
    auto file = readWholeFileAt(batchDirFd, kCacheIndexFileName, kMaxIndexFileSize);
    if (!file || file->empty())
        return std::nullopt;
    auto archive = decompressedData(*file);
    if (!archive)
        return std::nullopt;
    return BWCacheIndex::unarchive(*archive);
}

std::optional<BWCacheIndex> readCacheIndex(const std::string& batchFolder) {
    UniqueFd fd = openFolderNoFollow(batchFolder);
    if (!fd.valid())
        return std::nullopt;
    return readCacheIndexAt(fd.get());
}

bool writeCacheIndexAt(const BWCacheIndex& index, int batchDirFd, uid_t owner, gid_t group) {
    auto archive = index.archivedData();
    if (!archive) {
        syslog(LOG_ERR, "writeCacheIndex: the index could not be archived");
        return false;
    }
    auto compressed = compressedData(*archive);
    if (!compressed) {
        syslog(LOG_ERR, "writeCacheIndex: the index could not be compressed");
        return false;
    }
    return writeFileAtomicallyAt(batchDirFd, kCacheIndexFileName, *compressed, owner, group, "writeCacheIndex");
}

bool writeCacheIndex(const BWCacheIndex& index, const std::string& batchFolder, uid_t owner, gid_t group) {
    UniqueFd fd = openFolderNoFollow(batchFolder);
    if (!fd.valid()) {
        syslog(LOG_ERR, "writeCacheIndex: cannot open %s: %s", batchFolder.c_str(), std::strerror(errno));
        return false;
    }
    return writeCacheIndexAt(index, fd.get(), owner, group);
}

BatchFolderLock::BatchFolderLock(const std::string& batchFolder, std::chrono::milliseconds wait) {
    m_fd = openFolderNoFollow(batchFolder).release();
    m_ownsFd = true;
    if (m_fd < 0) {
        syslog(LOG_ERR, "BatchFolderLock: cannot open %s: %s", batchFolder.c_str(), std::strerror(errno));
        return;
    }
    lock(wait, batchFolder.c_str());
}

BatchFolderLock::BatchFolderLock(int batchDirFd, std::chrono::milliseconds wait) : m_fd(batchDirFd) {
    if (m_fd < 0)
        return;
    lock(wait, "a batch folder");
}

void BatchFolderLock::lock(std::chrono::milliseconds wait, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            m_locked = true;
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            syslog(LOG_ERR, "BatchFolderLock: cannot lock %s: %s", what, std::strerror(errno));
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            syslog(LOG_ERR, "BatchFolderLock: %s stayed locked by another process; going on without the lock", what);
            return;
        }
        ::usleep(10000);
    }
}

BatchFolderLock::~BatchFolderLock() {
    if (m_fd >= 0 && m_locked)
        ::flock(m_fd, LOCK_UN);
    if (m_ownsFd && m_fd >= 0)
        ::close(m_fd);
}

} // namespace bw
