#include "store/cache_index.h"

#include "files/atomic_file.h"
#include "files/log_line.h"
#include "plist/keyed_archive.h"
#include "plist/keyed_archive_reader.h"
#include "plist/keyed_archive_writer.h"
#include "store/compression.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <vector>

namespace bw {

namespace {

constexpr char kClassName[] = "BWCacheIndex";
constexpr char kIndexTableKey[] = "indexTableKey";
constexpr char kPermissionsRepairedKey[] = "permissionsRepairedKey";
constexpr char kCacheSizeKey[] = "cacheSizeKey";
constexpr char kCacheCreationKey[] = "cacheCreationKey";
constexpr char kCacheAdditionKey[] = "cacheAdditionKey";

// The compressed file is smaller than the archive it holds (zlib adds a few bytes per 16 KiB at worst).
constexpr std::size_t kMaxIndexFileSize = kMaxArchiveSize + kMaxArchiveSize / 64 + 1024;

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
    // Written object by object: a table of hundreds of thousands of entries costs a few dozen bytes per
    // entry on the way, not a tree of values.
    KeyedArchiveWriter writer;
    const std::uint64_t root = writer.reserve();
    std::uint64_t table = 0; // $null: no table
    if (m_indexTable) {
        table = writer.reserve();
        std::vector<std::uint64_t> keys, values;
        keys.reserve(m_indexTable->size());
        values.reserve(m_indexTable->size());
        for (const auto& [storedName, entry] : *m_indexTable)
            keys.push_back(writer.string(storedName));
        const std::vector<std::string> dictionaryClass{"NSDictionary"};
        for (const auto& [storedName, entry] : *m_indexTable) {
            const std::uint64_t item = writer.reserve();
            if (entry.originalPath) {
                const std::uint64_t itemKeys[] = {writer.string(kCacheRealNameKey), writer.string(kCacheAddDateKey),
                                                  writer.string(kCacheOriginalPathKey)};
                const std::uint64_t itemValues[] = {writer.string(entry.realName), writer.real(entry.addDate),
                                                    writer.string(*entry.originalPath)};
                writer.setDictionary(item, dictionaryClass, itemKeys, itemValues);
            } else {
                const std::uint64_t itemKeys[] = {writer.string(kCacheRealNameKey), writer.string(kCacheAddDateKey)};
                const std::uint64_t itemValues[] = {writer.string(entry.realName), writer.real(entry.addDate)};
                writer.setDictionary(item, dictionaryClass, itemKeys, itemValues);
            }
            values.push_back(item);
        }
        writer.setDictionary(table, dictionaryClass, keys, values);
    }
    const KeyedArchiveWriter::Member members[] = {
        {kIndexTableKey, table},
        {kPermissionsRepairedKey, writer.boolean(m_permissionsRepaired)},
        {kCacheSizeKey, writer.unsignedInteger(m_cacheSize)},
        {kCacheCreationKey, writer.unsignedInteger(archivedTime(m_cacheCreationTime))},
        {kCacheAdditionKey, writer.unsignedInteger(archivedTime(m_cacheLastAdditionTime))},
    };
    writer.setObject(root, {kClassName}, members);
    return writer.finish();
}

std::size_t BWCacheIndex::archivedEntryBound(const std::string& storedName, const std::string& realName) {
    // Strings take at most two bytes per input byte (UTF-16, or one unit per byte that is not UTF-8);
    // the entry's dictionary, its two arrays, four references, their UIDs and offsets take under 140.
    return 2 * (storedName.size() + realName.size()) + 160;
}

std::optional<BWCacheIndex> BWCacheIndex::unarchive(std::span<const std::uint8_t> archive) {
    KeyedArchiveReader reader(archive);
    if (!reader.open())
        return std::nullopt;
    const std::uint64_t root = *reader.root();
    auto chain = reader.classChain(root, 0);
    if (!chain || chain->front() != kClassName) {
        bw::logLine(LOG_ERR, "BWCacheIndex: the archive's root is a %s, not a %s",
                    chain ? chain->front().c_str() : "value", kClassName);
        return std::nullopt;
    }
    auto wrongType = [](const char* key) {
        bw::logLine(LOG_ERR, "BWCacheIndex: %s has the wrong type", key);
        return false;
    };

    BWCacheIndex index;
    std::size_t dropped = 0;
    auto readTable = [&](std::uint64_t value, int depth) {
        auto tableChain = reader.classChain(value, depth);
        if (!tableChain) {
            // $null (no table) decodes as such; anything else without a class is not a table.
            auto plain = reader.decode(value, depth);
            return plain && plain->kind == ArchiveValue::Kind::Null;
        }
        if (tableChain->front() != "NSDictionary" && tableChain->front() != "NSMutableDictionary")
            return wrongType(kIndexTableKey);
        BWIndexTable entries;
        const bool ok = reader.forEachEntry(
            value, depth,
            [&](const std::string& storedName, std::uint64_t item, int itemDepth) {
                auto decoded = reader.decode(item, itemDepth);
                if (!decoded) {
                    // A value that cannot be decoded is dropped like one of the wrong form, unless the
                    // archive as a whole went past its bounds.
                    if (reader.exhausted())
                        return false;
                    ++dropped;
                    return true;
                }
                // One entry of another form is dropped alone; the rest of the batch stays listed.
                BWCacheIndexEntry entry;
                bool good = decoded->kind == ArchiveValue::Kind::Dictionary;
                if (const ArchiveValue* name = good ? decoded->find(kCacheRealNameKey) : nullptr;
                    name && name->kind != ArchiveValue::Kind::Null) {
                    good = name->kind == ArchiveValue::Kind::String;
                    if (good)
                        entry.realName = std::move(const_cast<ArchiveValue*>(name)->stringValue);
                }
                if (const ArchiveValue* date = good ? decoded->find(kCacheAddDateKey) : nullptr;
                    date && date->kind != ArchiveValue::Kind::Null) {
                    good = date->isNumber();
                    if (good)
                        entry.addDate = *date->asDouble();
                }
                if (!good) {
                    ++dropped;
                    return true;
                }
                // An added key: a value of another type is ignored rather than costing the entry.
                if (const ArchiveValue* original = decoded->find(kCacheOriginalPathKey);
                    original && original->kind == ArchiveValue::Kind::String)
                    entry.originalPath = std::move(const_cast<ArchiveValue*>(original)->stringValue);
                if (!reader.charge(128 + storedName.size() + entry.realName.size() +
                                   (entry.originalPath ? entry.originalPath->size() : 0)))
                    return false;
                entries.insert_or_assign(storedName, std::move(entry));
                return true;
            },
            &dropped);
        if (!ok)
            return false;
        index.m_indexTable = std::move(entries);
        return true;
    };
    auto readScalar = [&](const char* key, std::uint64_t value, int depth) -> std::optional<ArchiveValue> {
        auto decoded = reader.decode(value, depth);
        if (!decoded)
            return std::nullopt;
        if (decoded->kind != ArchiveValue::Kind::Null && !decoded->isNumber()) {
            wrongType(key);
            return std::nullopt;
        }
        return decoded;
    };
    const bool ok = reader.forEachMember(root, 0, [&](const std::string& key, std::uint64_t value, int depth) {
        if (key == kIndexTableKey)
            return readTable(value, depth);
        if (key != kPermissionsRepairedKey && key != kCacheSizeKey && key != kCacheCreationKey &&
            key != kCacheAdditionKey)
            return true; // a key of a later version
        auto decoded = readScalar(key.c_str(), value, depth);
        if (!decoded)
            return false;
        if (decoded->kind == ArchiveValue::Kind::Null)
            return true;
        if (key == kPermissionsRepairedKey)
            index.m_permissionsRepaired = *decoded->asBool();
        else if (key == kCacheSizeKey)
            index.m_cacheSize = *decoded->asUInt64();
        else if (key == kCacheCreationKey)
            index.m_cacheCreationTime = static_cast<double>(*decoded->asUInt64());
        else
            index.m_cacheLastAdditionTime = static_cast<double>(*decoded->asUInt64());
        return true;
    });
    if (!ok)
        return std::nullopt;
    if (dropped > 0)
        bw::logLine(LOG_ERR, "BWCacheIndex: %zu entr%s of an unexpected form dropped", dropped,
                    dropped == 1 ? "y" : "ies");
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

bool CacheIndexFileState::sameFile(const CacheIndexFileState& other) const {
    if (exists != other.exists)
        return false;
    if (!exists)
        return true;
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

CacheIndexFileState cacheIndexFileStateAt(int batchDirFd) {
    CacheIndexFileState state;
    struct stat st {};
    if (batchDirFd < 0 || ::fstatat(batchDirFd, kCacheIndexFileName, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return state;
    state.exists = true;
    state.device = st.st_dev;
    state.inode = st.st_ino;
    state.size = st.st_size;
    state.modified = st.st_mtim;
    state.changed = st.st_ctim;
    return state;
}

bool isCacheIndexFileName(std::string_view name) {
    return name == kCacheIndexFileName || name.starts_with(kUnreadableIndexPrefix);
}

namespace {

// Index files this process read whole or wrote itself: a writer need not parse them again to know
// that they can be read. A few batches are written at a time, so a short list is enough.
class KnownReadableIndexes {
public:
    void remember(const CacheIndexFileState& state) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& known : m_states)
            if (known.sameFile(state))
                return;
        if (m_states.size() >= 64)
            m_states.erase(m_states.begin());
        m_states.push_back(state);
    }
    bool contains(const CacheIndexFileState& state) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& known : m_states)
            if (known.sameFile(state))
                return true;
        return false;
    }

private:
    std::mutex m_mutex;
    std::vector<CacheIndexFileState> m_states;
};

KnownReadableIndexes& knownReadable() {
    static KnownReadableIndexes known;
    return known;
}

// An unreadable index goes aside under a name no reader takes for the index, and no writer replaces.
bool putUnreadableIndexAside(int batchDirFd) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string aside = std::string(kUnreadableIndexPrefix) + stamp;
        if (attempt > 0)
            aside += "-" + std::to_string(attempt);
        if (::renameat2(batchDirFd, kCacheIndexFileName, batchDirFd, aside.c_str(), RENAME_NOREPLACE) == 0) {
            bw::logLine(LOG_ERR,
                        "BWCacheIndex: the batch's index cannot be read; kept aside as %s, a new one is started",
                        aside.c_str());
            return true;
        }
        if (errno != EEXIST) {
            bw::logLine(LOG_ERR, "BWCacheIndex: cannot put an unreadable index aside: %s", std::strerror(errno));
            return false;
        }
    }
    return false;
}

} // namespace

namespace {

enum class IndexRead { Read, Missing, Unopenable, Garbled };

std::optional<BWCacheIndex> readIndex(int batchDirFd, CacheIndexFileState* state, IndexRead& how) {
    if (state)
        *state = CacheIndexFileState{};
    struct stat st {};
    if (batchDirFd < 0 || ::fstatat(batchDirFd, kCacheIndexFileName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        how = batchDirFd >= 0 && errno == ENOENT ? IndexRead::Missing : IndexRead::Unopenable;
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        // A link planted under the index's name goes aside like a garbled index; a folder or a device
        // there is nothing any writer can replace.
        how = S_ISLNK(st.st_mode) ? IndexRead::Garbled : IndexRead::Unopenable;
        return std::nullopt;
    }
    if (st.st_size == 0) {
        how = IndexRead::Missing;
        return std::nullopt;
    }
    if (static_cast<unsigned long long>(st.st_size) > kMaxIndexFileSize) {
        bw::logLine(LOG_ERR, "readCacheIndex: %lld bytes cannot be an index", static_cast<long long>(st.st_size));
        how = IndexRead::Garbled;
        return std::nullopt;
    }
    const CacheIndexFileState before = cacheIndexFileStateAt(batchDirFd);
    auto file = readWholeFileAt(batchDirFd, kCacheIndexFileName, kMaxIndexFileSize);
    if (!file) {
        how = IndexRead::Unopenable;
        return std::nullopt;
    }
    if (file->empty()) {
        how = IndexRead::Missing;
        return std::nullopt;
    }
    auto archive = decompressedData(*file, kMaxArchiveSize);
    std::optional<BWCacheIndex> index;
    if (archive)
        index = BWCacheIndex::unarchive(*archive);
    if (!index) {
        how = IndexRead::Garbled;
        return std::nullopt;
    }
    how = IndexRead::Read;
    CacheIndexFileState after = cacheIndexFileStateAt(batchDirFd);
    // Only a file that did not change while it was read is known by its state.
    if (after.sameFile(before)) {
        after.archiveSize = archive->size();
        knownReadable().remember(after);
        if (state)
            *state = after;
    }
    return index;
}

} // namespace

std::optional<BWCacheIndex> readCacheIndexAt(int batchDirFd, CacheIndexFileState* state) {
    IndexRead how;
    return readIndex(batchDirFd, state, how);
}

std::optional<BWCacheIndex> readCacheIndex(const std::string& batchFolder) {
    UniqueFd fd = openFolderNoFollow(batchFolder);
    if (!fd.valid())
        return std::nullopt;
    return readCacheIndexAt(fd.get());
}

std::optional<BWCacheIndex> loadCacheIndexForUpdateAt(int batchDirFd, bool& fresh, CacheIndexFileState* state) {
    fresh = false;
    IndexRead how;
    auto index = readIndex(batchDirFd, state, how);
    switch (how) {
    case IndexRead::Read:
        return index;
    case IndexRead::Unopenable:
        // Not readable this time (no descriptor left, a failing disk): nothing about its content is known.
        bw::logLine(LOG_ERR, "BWCacheIndex: the batch's index cannot be opened now; nothing is written");
        return std::nullopt;
    case IndexRead::Garbled:
        // Not empty and cannot be read: it is never written over.
        if (!putUnreadableIndexAside(batchDirFd))
            return std::nullopt;
        break;
    case IndexRead::Missing:
        break;
    }
    fresh = true;
    return BWCacheIndex{};
}

bool writeCacheIndexAt(const BWCacheIndex& index, int batchDirFd, uid_t owner, gid_t group,
                       CacheIndexFileState* written) {
    // The archiver and the compressor log why they fail; the line is theirs alone.
    auto archive = index.archivedData();
    if (!archive)
        return false;
    if (archive->size() > kMaxArchiveSize) {
        bw::logLine(LOG_ERR, "writeCacheIndex: the index would take %zu bytes, more than the %zu its readers accept",
                    archive->size(), kMaxArchiveSize);
        return false;
    }
    // Level 1 takes a few times less time than the default for about the same size on index archives.
    auto compressed = compressedData(*archive, true);
    if (!compressed)
        return false;
    // Whatever stands there now must be readable, or go aside first.
    const CacheIndexFileState current = cacheIndexFileStateAt(batchDirFd);
    if (current.exists && current.size > 0 && !knownReadable().contains(current)) {
        bool fresh = false;
        if (!loadCacheIndexForUpdateAt(batchDirFd, fresh))
            return false;
    }
    if (!writeFileAtomicallyAt(batchDirFd, kCacheIndexFileName, *compressed, owner, group, "writeCacheIndex"))
        return false;
    CacheIndexFileState state = cacheIndexFileStateAt(batchDirFd);
    state.archiveSize = archive->size();
    knownReadable().remember(state);
    if (written)
        *written = state;
    return true;
}

bool writeCacheIndex(const BWCacheIndex& index, const std::string& batchFolder, uid_t owner, gid_t group) {
    UniqueFd fd = openFolderNoFollow(batchFolder);
    if (!fd.valid()) {
        bw::logLine(LOG_ERR, "writeCacheIndex: cannot open %s: %s", batchFolder.c_str(), std::strerror(errno));
        return false;
    }
    return writeCacheIndexAt(index, fd.get(), owner, group);
}

BatchFolderLock::BatchFolderLock(const std::string& batchFolder, std::chrono::milliseconds wait) {
    m_fd = openFolderNoFollow(batchFolder).release();
    m_ownsFd = true;
    if (m_fd < 0) {
        bw::logLine(LOG_ERR, "BatchFolderLock: cannot open %s: %s", batchFolder.c_str(), std::strerror(errno));
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
            bw::logLine(LOG_ERR, "BatchFolderLock: cannot lock %s: %s", what, std::strerror(errno));
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            bw::logLine(LOG_ERR, "BatchFolderLock: %s stayed locked by another process; nothing is written now", what);
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
