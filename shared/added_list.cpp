#include "added_list.h"

#include "atomic_file.h"
#include "keyed_archive.h"

#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace bw {

namespace {
constexpr std::size_t kMaxAddedListFileSize = 256u * 1024u * 1024u;
}

AddedList loadAddedList(const std::string& cacheFolder) {
    AddedList list;
    UniqueFd folder = openFolderNoFollow(cacheFolder);
    if (!folder.valid())
        return list;
    auto file = readWholeFileAt(folder.get(), kAddedListFileName, kMaxAddedListFileSize);
    if (!file || file->empty())
        return list;
    auto archive = decompressedData(*file);
    if (!archive)
        return list;
    auto root = unarchiveRootObject(*archive);
    if (!root || root->kind != ArchiveValue::Kind::Dictionary) {
        syslog(LOG_ERR, "loadAddedList: %s/%s holds no dictionary", cacheFolder.c_str(), kAddedListFileName);
        return list;
    }
    for (const auto& [key, value] : root->entries) {
        // An entry that is not a time cannot say when it was seen; it is forgotten.
        if (auto time = value.asDouble())
            list[key] = *time;
    }
    return list;
}

bool saveAddedList(const AddedList& list, const std::string& cacheFolder, uid_t owner, gid_t group) {
    ArchiveValue root = ArchiveValue::dictionary(true);
    root.entries.reserve(list.size());
    for (const auto& [key, time] : list)
        root.entries.emplace_back(key, ArchiveValue::fromReal(time));
    auto archive = archivedDataWithRootObject(root);
    if (!archive) {
        syslog(LOG_ERR, "saveAddedList: the list could not be archived");
        return false;
    }
    auto compressed = compressedData(*archive);
    if (!compressed) {
        syslog(LOG_ERR, "saveAddedList: the list could not be compressed");
        return false;
    }
    UniqueFd folder = openFolderNoFollow(cacheFolder);
    if (!folder.valid()) {
        syslog(LOG_ERR, "saveAddedList: cannot open %s: %s", cacheFolder.c_str(), std::strerror(errno));
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
