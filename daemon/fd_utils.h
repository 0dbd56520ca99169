#pragma once
// Folder-descriptor helpers for a process that works as root inside folders its user controls:
// every open is relative to a folder descriptor and refuses to follow a symbolic link.

#include "files/unique_fd.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

namespace bw {

// How deep the daemon's walks go (copy, removal, repair, folder size). Each level holds two or three
// descriptors, so however deep a tree someone builds, a walk stays far inside the descriptor limit.
inline constexpr int kMaxWalkDepth = 256;

// Lists the entries of an open folder (without "." and ".."); the caller's descriptor stays open and
// usable. Reuses one DIR stream per object.
class DirReader {
public:
    explicit DirReader(int dirFd);
    ~DirReader();
    DirReader(const DirReader&) = delete;
    DirReader& operator=(const DirReader&) = delete;

    bool valid() const { return m_dir != nullptr; }
    // The next entry, or null at the end. Valid until the next call.
    const struct dirent* next();

private:
    DIR* m_dir = nullptr;
};

// Lists an open folder straight from the kernel into a caller's buffer that lives across calls, so that a
// listing repeated every second allocates nothing. Reads from the descriptor's current position.
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

// A folder opened relative to a folder descriptor, never through a symbolic link.
UniqueFd openDirAt(int dirFd, const char* name);

// Opens a folder by absolute path. With noFollow, every component is opened in turn with O_NOFOLLOW, so
// that a link planted anywhere along the path is refused; otherwise the path is opened as the system
// resolves it. A trailing slash is allowed. Sets errno on failure.
UniqueFd openDirectoryPath(const std::string& path, bool noFollow);
// The same as an O_PATH descriptor, for folders that are searched but not listed.
UniqueFd openDirectoryPathForSearch(const std::string& path, bool noFollow);

// "/proc/self/fd/<fd>": a name for exactly the item behind a descriptor, for the calls that only take
// paths. The kernel resolves it to the open item itself, whatever happens to the path meanwhile. For a
// folder handed to code that refuses a final link, append "/.".
std::string procFdPath(int fd);

// fstatat without following a final link.
bool lstatAt(int dirFd, const char* name, struct stat& st);

// Removes an entry and, for a folder, everything in it, never following links. True when it is gone.
// removedSomething (when given) tells whether anything at all went, on failure too.
bool removeTreeAt(int dirFd, const char* name, bool* removedSomething = nullptr);

// The path without its trailing slashes ("/" stays "/").
std::string withoutTrailingSlashes(const std::string& path);

} // namespace bw
