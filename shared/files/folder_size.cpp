#include "files/folder_size.h"

#include "files/no_follow.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace bw {

std::uint64_t FolderSizer::sizeOf(const struct stat& st) {
    if (m_measure == SizeMeasure::Allocated)
        return static_cast<std::uint64_t>(st.st_blocks) * 512u; // st_blocks counts 512-byte units
    return static_cast<std::uint64_t>(st.st_size);
}

bool FolderSizer::firstSight(const struct stat& st) {
    return st.st_nlink <= 1 || m_linked.emplace(st.st_dev, st.st_ino).second;
}

TreeSize FolderSizer::measureFolder(int folderFd) {
    m_linked.clear();
    TreeSize total;
    m_walk.walk(folderFd, [&](const TreeWalk::Entry& entry) {
        if (entry.type == DT_DIR)
            return TreeWalk::Step::Descend;
        struct stat st {};
        if (!lstatAt(entry.folderFd, entry.name, st))
            return TreeWalk::Step::Next;
        if (S_ISDIR(st.st_mode))
            return TreeWalk::Step::Descend;
        if (firstSight(st)) {
            total.bytes += sizeOf(st);
            ++total.items;
        }
        return TreeWalk::Step::Next;
    });
    m_linked.clear();
    return total;
}

TreeSize FolderSizer::measureAt(int dirFd, const char* name) {
    struct stat st {};
    if (!lstatAt(dirFd, name, st))
        return {};
    if (!S_ISDIR(st.st_mode))
        return TreeSize{sizeOf(st), 1};
    UniqueFd folder = openDirAt(dirFd, name);
    return folder ? measureFolder(folder.get()) : TreeSize{};
}

std::uint64_t FolderSizer::getFolderSize(const std::string& path) {
    UniqueFd folder = openFolderNoFollow(path);
    return folder ? measureFolder(folder.get()).bytes : 0;
}

} // namespace bw
