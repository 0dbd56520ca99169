#pragma once
// The one tree removal: an entry and, for a folder, everything in it, relative to the folder that holds
// it, never following a symbolic link (a link is removed, never what it points to), at any depth.

#include <string>

namespace bw {

// Removes `name` from the folder `dirFd`. True when it is gone afterwards; a missing entry counts as
// removed. Folders of the caller's own that it cannot write into (read-only folders in a tree) are
// made writable for the removal. On failure the rest of the tree is still removed as far as it can be,
// and errno is the last failure (usually ENOTEMPTY of a folder that had to stay). removedSomething
// (when given) tells whether anything at all went.
bool removeTreeAt(int dirFd, const char* name, bool* removedSomething = nullptr);
inline bool removeTreeAt(int dirFd, const std::string& name) {
    return removeTreeAt(dirFd, name.c_str());
}

// The same for a path: the folders above the last component are resolved as the system resolves them,
// the last component itself is never followed.
bool removeTree(const std::string& path);

} // namespace bw
