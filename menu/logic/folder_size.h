#pragma once
// Total data size below a folder: a depth-first walk with an explicit stack (no recursion), relative to
// folder descriptors, never following a symbolic link.

#include <dirent.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

class FolderSizer {
public:
    FolderSizer() = default;
    ~FolderSizer();
    FolderSizer(const FolderSizer&) = delete;
    FolderSizer& operator=(const FolderSizer&) = delete;

    // Sum of the sizes of every non-folder item below `path`; 0 when it cannot be opened or is no folder.
    std::uint64_t getFolderSize(const std::string& path);
    // The stack's capacity only grows, so that later walks allocate nothing.
    std::size_t stackCapacity() const { return m_stack.capacity(); }

private:
    std::uint64_t walk(int rootFd);
    void closeAll();
    std::vector<DIR*> m_stack; // one open folder per level of the current descent
};

} // namespace bw
