#pragma once
// Browsing inside a cached folder level by level: the listings entered, the path line, going back.

#include "recovery_item.h"

#include <optional>
#include <string>
#include <vector>

namespace bw {

// Every entry of a folder, hidden ones included, in the order the file system gives (no sorting).
// An unreadable folder gives an empty listing.
std::vector<FolderEntry> listCachedFolder(const std::string& path);

class SubFolderBrowser {
public:
    // Opens the first level: a cached folder of the recovery list.
    void loadItem(const RecoveryItem& item);
    // Opens a deeper level; false (nothing changes) unless the entry is a folder without an extension.
    bool enterItem(const FolderEntry& entry);
    // One level up; false when the first level was left, which hands the table back to the list.
    bool backAction();

    bool isOpen() const { return !m_history.empty(); }
    // The listing shown (empty when closed). Levels are snapshots taken when entered.
    const std::vector<FolderEntry>& currentDisplay() const;
    // The cached item's display name, then the names of the levels entered, joined by "/".
    const std::optional<std::string>& curPath() const { return m_curPath; }
    std::size_t depth() const { return m_history.size(); }

private:
    std::vector<std::vector<FolderEntry>> m_history;
    std::optional<std::string> m_curPath;
};

} // namespace bw
