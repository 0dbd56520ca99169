#include "store/added_list.h"

#include "files/atomic_file.h"
#include "files/log_line.h"
#include "plist/keyed_archive.h"
#include "plist/keyed_archive_reader.h"
#include "plist/keyed_archive_writer.h"
#include "store/compression.h"

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace bw {

namespace {
constexpr std::size_t kMaxAddedListFileSize = kMaxArchiveSize + kMaxArchiveSize / 64 + 1024;
}

AddedList loadAddedList(const std::string& cacheFolder) {
    AddedList list;
    UniqueFd folder = openFolderNoFollow(cacheFolder);
    if (!folder.valid())
        return list;
    auto file = readWholeFileAt(folder.get(), kAddedListFileName, kMaxAddedListFileSize);
    if (!file || file->empty())
        return list;
    auto archive = decompressedData(*file, kMaxArchiveSize);
    if (!archive)
        return list;
    KeyedArchiveReader reader(*archive);
    if (!reader.open())
        return list; // the reader logged why
    const auto chain = reader.classChain(*reader.root(), 0);
    if (!chain || (chain->front() != "NSDictionary" && chain->front() != "NSMutableDictionary")) {
        bw::logLine(LOG_ERR, "loadAddedList: %s/%s holds no dictionary", cacheFolder.c_str(), kAddedListFileName);
        return list;
    }
    const bool ok = reader.forEachEntry(*reader.root(), 0, [&](const std::string& key, std::uint64_t value, int depth) {
        auto time = reader.decode(value, depth);
        if (!time)
            return false;
        // An entry that is not a time cannot say when it was seen; it is forgotten.
        if (auto seconds = time->asDouble()) {
            if (!reader.charge(64 + key.size()))
                return false;
            list.insert_or_assign(key, *seconds);
        }
        return true;
    });
    if (!ok) {
        bw::logLine(LOG_ERR, "loadAddedList: %s/%s cannot be read", cacheFolder.c_str(), kAddedListFileName);
        return AddedList{};
    }
    return list;
}

namespace {

std::optional<Bytes> archivedList(const AddedList& list, double notBefore) {
    KeyedArchiveWriter writer;
    const std::uint64_t root = writer.reserve();
    std::vector<std::uint64_t> keys, values;
    for (const auto& [key, time] : list)
        if (time >= notBefore)
            keys.push_back(writer.string(key));
    for (const auto& [key, time] : list)
        if (time >= notBefore)
            values.push_back(writer.real(time));
    writer.setDictionary(root, {"NSMutableDictionary", "NSDictionary"}, keys, values);
    return writer.finish();
}

} // namespace

bool saveAddedList(const AddedList& list, const std::string& cacheFolder, uid_t owner, gid_t group) {
    auto archive = archivedList(list, -std::numeric_limits<double>::infinity());
    // Past what its readers accept, the oldest keys are left out: such an item, still in the trash,
    // would be copied once more, which loses nothing.
    for (int round = 0; archive && archive->size() > kMaxArchiveSize && round < 8; ++round) {
        std::vector<double> times;
        times.reserve(list.size());
        for (const auto& entry : list)
            times.push_back(entry.second);
        const double share = static_cast<double>(kMaxArchiveSize) / static_cast<double>(archive->size());
        const auto keep = static_cast<std::size_t>(static_cast<double>(times.size()) * share * (0.9 - 0.1 * round));
        const std::size_t drop = times.size() - std::min(keep, times.size());
        std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(drop), times.end());
        const double notBefore = drop < times.size() ? times[drop] : std::numeric_limits<double>::infinity();
        bw::logLine(LOG_WARNING, "saveAddedList: the list is too large; keys recorded before %.0f are left out",
                    notBefore);
        archive = archivedList(list, notBefore);
    }
    // The archiver and the compressor log why they fail; the line is theirs alone.
    if (!archive)
        return false;
    if (archive->size() > kMaxArchiveSize) {
        bw::logLine(LOG_ERR, "saveAddedList: the list still takes %zu bytes, more than the %zu its readers accept",
                    archive->size(), kMaxArchiveSize);
        return false;
    }
    auto compressed = compressedData(*archive);
    if (!compressed)
        return false;
    UniqueFd folder = openFolderNoFollow(cacheFolder);
    if (!folder.valid()) {
        bw::logLine(LOG_ERR, "saveAddedList: cannot open %s: %s", cacheFolder.c_str(), std::strerror(errno));
        return false;
    }
    return writeFileAtomicallyAt(folder.get(), kAddedListFileName, *compressed, owner, group, "saveAddedList");
}

void expireAddedList(AddedList& list, double now, int days) {
    if (days <= 0)
        return;
    std::vector<std::string> expired;
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if ((now - it->second) / 86400.0 > static_cast<double>(days))
            expired.push_back(it->first);
    for (const auto& key : expired)
        list.erase(key);
}

} // namespace bw
