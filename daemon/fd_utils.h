#pragma once
// Folder-descriptor helpers for a process that works as root inside folders its user controls: every
// open is relative to a folder descriptor and refuses to follow a symbolic link. The opens, the listing
// and the removal themselves are the core's (files/).

#include "files/dir_handle.h"
#include "files/no_follow.h"
#include "files/remove_tree.h"
#include "files/unique_fd.h"

#include <string>
#include <vector>

namespace bw {

// How deep the daemon's repair walk goes. Each level holds two or three
// descriptors, so however deep a tree someone builds, a walk stays far inside the descriptor limit.
inline constexpr int kMaxWalkDepth = 256;

// Lists an open folder straight from the kernel into a caller's buffer that lives across calls, so that the
// listing repeated at every survey allocates nothing. Reads from the descriptor's current position.
class RawDirReader {
public:
    RawDirReader(int dirFd, std::vector<char>& buffer) : m_fd(dirFd), m_buffer(buffer) {}
    // The next entry's name and type (DT_*), or null at the end or on an error.
    const char* next(unsigned char& type);

private:
    int m_fd;
    std::vector<char>& m_buffer;
    long m_used = 0;
    long m_pos = 0;
};

} // namespace bw
