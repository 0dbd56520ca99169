#pragma once
// One listed cached item (the recovery list's row), and one entry of a cached folder being browsed.

#include <cstdint>
#include <optional>
#include <string>

namespace bw {

struct RecoveryItem {
    std::string rawItemPath;                   // batch folder + "/" + stored name
    std::string batchFolder;                   // the folder that holds the item and its index
    std::string storedName;                    // the item's unique (UUID) name in its batch: its id
    bool isFolder = false;                     // a folder; links, missing items and everything else count as files
    std::string displayName;                   // the name the item had in the trash
    double cacheDate = 0.0;                    // when it was stored, seconds since 2001
    std::optional<std::uint64_t> itemSize{};   // files of non-zero size only; folders are not measured
    std::optional<std::string> originalPath{}; // where it was trashed from, when the trash recorded it
    double batchLastAddition = 0.0;            // the batch's last addition, which the time window tests
};

struct FolderEntry {
    std::string displayName; // the entry's own name inside the cached folder
    std::string rawItemPath; // its full path inside the cache
    bool isFolder = false;
};

// The extension of a name as a file manager shows it: after the last ".", not counting a leading one
// ("Photos.lproj" → "lproj", ".bashrc" → "", "Notes" → "").
std::string pathExtension(const std::string& name);
// The name without that extension and its dot.
std::string nameWithoutExtension(const std::string& name);

// A folder without an extension can be entered; a package-like folder ("Notes.app") is one item.
inline bool canEnter(bool isFolder, const std::string& displayName) {
    return isFolder && pathExtension(displayName).empty();
}

} // namespace bw
