#pragma once
// The one measure of an item's size: a file its own size, a folder the sum over everything below it,
// never following a symbolic link (a link counts as the link itself), each file with several hard links
// counted once.

#include "files/tree_walk.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>

namespace bw {

enum class SizeMeasure {
    Apparent,  // the byte length (what a copy reads; a sparse file counts its holes)
    Allocated, // the blocks the file system gave it (what a removal frees)
};

struct TreeSize {
    std::uint64_t bytes = 0;
    std::uint64_t items = 0; // the items that are not folders
};

class FolderSizer {
public:
    explicit FolderSizer(SizeMeasure measure = SizeMeasure::Apparent) : m_measure(measure) {}

    // The item `name` of a folder: a folder by what lies below it, anything else by itself (one item).
    // Nothing (zeros) when it cannot be read.
    TreeSize measureAt(int dirFd, const char* name);
    // Everything below an open folder.
    TreeSize measureFolder(int folderFd);
    // The bytes below the folder at `path`; 0 when it cannot be opened or is no folder (a link to one
    // included).
    std::uint64_t getFolderSize(const std::string& path);

    // The walk's stack keeps its room, so that later walks allocate nothing for it.
    std::size_t stackCapacity() const { return m_walk.stackCapacity(); }

private:
    std::uint64_t sizeOf(const struct stat& st);
    bool firstSight(const struct stat& st);

    SizeMeasure m_measure;
    TreeWalk m_walk;
    std::set<std::pair<dev_t, ino_t>> m_linked; // files with several links seen in this measure
};

} // namespace bw
