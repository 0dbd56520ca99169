#pragma once
// Owns one directory stream. The one way the core lists a folder it holds a descriptor to.

#include "files/unique_fd.h"

#include <dirent.h>

#include <string>

namespace bw {

class DirHandle {
public:
    DirHandle() = default;
    // Lists the folder behind `folder`, which the handle takes over (closed with the stream).
    explicit DirHandle(UniqueFd folder);
    ~DirHandle() { reset(); }
    DirHandle(DirHandle&& other) noexcept;
    DirHandle& operator=(DirHandle&& other) noexcept;
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;

    // Lists an open folder from its first entry, leaving the caller's descriptor open (a duplicate is
    // listed). Invalid when the descriptor is no folder or none is left.
    static DirHandle listing(int folderFd);
    // Lists the folder at `path`, following links as the system resolves the path.
    static DirHandle ofPath(const std::string& path);

    bool valid() const { return m_dir != nullptr; }
    explicit operator bool() const { return valid(); }
    // The descriptor of the listed folder, for *at calls; -1 when invalid.
    int fd() const;
    // The next entry other than "." and "..", or null at the end (errno then tells an error from the end).
    // Valid until the next call.
    const struct dirent* next();
    // Where the listing stands, and going back there on a fresh handle of the same folder.
    long tell() const;
    void seek(long position);
    void reset();

private:
    DIR* m_dir = nullptr;
};

} // namespace bw
