#include "sub_folder_browser.h"

#include "files/atomic_file.h"
#include "fd_utils.h"

#include <sys/stat.h>

namespace bw {

std::vector<FolderEntry> listCachedFolder(const std::string& path) {
    std::vector<FolderEntry> entries;
    UniqueFd folder = openFolderNoFollow(path);
    if (!folder)
        return entries;
    DirHandle reader = DirHandle::listing(folder.get());
    while (const struct dirent* entry = reader.next()) {
        FolderEntry item;
        item.displayName = entry->d_name;
        item.rawItemPath = path + "/" + entry->d_name;
        if (entry->d_type == DT_DIR) {
            item.isFolder = true;
        } else if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            item.isFolder = lstatAt(folder.get(), entry->d_name, st) && S_ISDIR(st.st_mode);
        }
        entries.push_back(std::move(item));
    }
    return entries;
}

void SubFolderBrowser::loadItem(const RecoveryItem& item) {
    m_history.clear();
    m_curPath = item.displayName;
    m_history.push_back(listCachedFolder(item.rawItemPath));
}

bool SubFolderBrowser::enterItem(const FolderEntry& entry) {
    if (!isOpen() || !canEnter(entry.isFolder, entry.displayName))
        return false;
    m_curPath = *m_curPath + "/" + entry.displayName;
    m_history.push_back(listCachedFolder(entry.rawItemPath));
    return true;
}

bool SubFolderBrowser::backAction() {
    if (m_history.size() > 1) {
        m_history.pop_back();
        m_curPath = m_curPath->substr(0, m_curPath->rfind('/'));
        return true;
    }
    m_history.clear();
    m_curPath.reset();
    return false;
}

const std::vector<FolderEntry>& SubFolderBrowser::currentDisplay() const {
    static const std::vector<FolderEntry> kNothing;
    return m_history.empty() ? kNothing : m_history.back();
}

} // namespace bw
