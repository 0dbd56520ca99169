#include "files/dir_handle.h"

#include <fcntl.h>

#include <cerrno>
#include <utility>

namespace bw {

DirHandle::DirHandle(UniqueFd folder) {
    if (!folder)
        return;
    m_dir = ::fdopendir(folder.get());
    if (m_dir)
        folder.release(); // the stream owns it now
}

DirHandle::DirHandle(DirHandle&& other) noexcept : m_dir(std::exchange(other.m_dir, nullptr)) {}

DirHandle& DirHandle::operator=(DirHandle&& other) noexcept {
    if (this != &other) {
        reset();
        m_dir = std::exchange(other.m_dir, nullptr);
    }
    return *this;
}

DirHandle DirHandle::listing(int folderFd) {
    DirHandle handle(UniqueFd(::fcntl(folderFd, F_DUPFD_CLOEXEC, 3)));
    // A duplicate shares the read position with the caller's descriptor: start from the top.
    if (handle.m_dir)
        ::rewinddir(handle.m_dir);
    return handle;
}

DirHandle DirHandle::ofPath(const std::string& path) {
    return DirHandle(UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
}

int DirHandle::fd() const {
    return m_dir ? ::dirfd(m_dir) : -1;
}

const struct dirent* DirHandle::next() {
    if (!m_dir)
        return nullptr;
    errno = 0;
    while (const struct dirent* entry = ::readdir(m_dir)) {
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
            continue;
        return entry;
    }
    return nullptr;
}

long DirHandle::tell() const {
    return m_dir ? ::telldir(m_dir) : -1;
}

void DirHandle::seek(long position) {
    if (m_dir && position >= 0)
        ::seekdir(m_dir, position);
}

void DirHandle::reset() {
    if (m_dir)
        ::closedir(std::exchange(m_dir, nullptr));
}

} // namespace bw
