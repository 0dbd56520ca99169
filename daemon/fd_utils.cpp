#include "fd_utils.h"

#include "launch_validation.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bw {

DirReader::DirReader(int dirFd) {
    // fdopendir takes the descriptor it is given, so it gets its own duplicate.
    int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0)
        return;
    m_dir = ::fdopendir(copy);
    if (!m_dir) {
        ::close(copy);
        return;
    }
    // The duplicate shares the read position with the caller's descriptor: start from the top.
    ::rewinddir(m_dir);
}

DirReader::~DirReader() {
    if (m_dir)
        ::closedir(m_dir);
}

const struct dirent* DirReader::next() {
    if (!m_dir)
        return nullptr;
    while (const struct dirent* entry = ::readdir(m_dir)) {
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
            continue;
        return entry;
    }
    return nullptr;
}

const char* RawDirReader::next(unsigned char& type) {
    struct LinuxDirent64 {
        ino64_t d_ino;
        off64_t d_off;
        unsigned short d_reclen;
        unsigned char d_type;
        char d_name[];
    };
    if (m_buffer.size() < 4096)
        m_buffer.resize(32768);
    for (;;) {
        if (m_pos >= m_used) {
            long n = ::syscall(SYS_getdents64, m_fd, m_buffer.data(), m_buffer.size());
            if (n <= 0)
                return nullptr;
            m_used = n;
            m_pos = 0;
        }
        auto* entry = reinterpret_cast<LinuxDirent64*>(m_buffer.data() + m_pos);
        m_pos += entry->d_reclen;
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
            continue;
        type = entry->d_type;
        return n;
    }
}

UniqueFd openDirAt(int dirFd, const char* name) {
    return UniqueFd(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

namespace {

UniqueFd openDirectoryPathWith(const std::string& path, bool noFollow, bool searchOnly) {
    if (path.empty() || path[0] != '/') {
        errno = EINVAL;
        return UniqueFd();
    }
    if (!noFollow)
        return UniqueFd(::open(path.c_str(), (searchOnly ? O_PATH : O_RDONLY) | O_DIRECTORY | O_CLOEXEC));

    // The launch check's own walk, so that the daemon reaches exactly the folders the check accepted.
    std::string clean = "/";
    std::size_t pos = 1;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string component = path.substr(pos, slash - pos);
        if (component == "..") {
            // A path that climbs could leave the folders that were checked.
            errno = EINVAL;
            return UniqueFd();
        }
        if (!component.empty() && component != ".")
            clean += component + "/";
        pos = slash + 1;
    }
    return UniqueFd(searchOnly ? openFolderForSearchWithoutSymlinks(clean) : openFolderWithoutSymlinks(clean));
}

} // namespace

UniqueFd openDirectoryPath(const std::string& path, bool noFollow) {
    return openDirectoryPathWith(path, noFollow, false);
}

UniqueFd openDirectoryPathForSearch(const std::string& path, bool noFollow) {
    return openDirectoryPathWith(path, noFollow, true);
}

std::string procFdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

bool lstatAt(int dirFd, const char* name, struct stat& st) {
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

namespace {

bool removeContents(int dirFd, int depth, bool& removed) {
    if (depth > kMaxWalkDepth) {
        errno = ELOOP;
        return false;
    }
    bool ok = true;
    DirReader reader(dirFd);
    if (!reader.valid())
        return false;
    while (const struct dirent* entry = reader.next()) {
        bool isDir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            isDir = lstatAt(dirFd, entry->d_name, st) && S_ISDIR(st.st_mode);
        }
        if (isDir) {
            UniqueFd child = openDirAt(dirFd, entry->d_name);
            if (!child || !removeContents(child.get(), depth + 1, removed)) {
                ok = false;
                continue;
            }
            if (::unlinkat(dirFd, entry->d_name, AT_REMOVEDIR) != 0)
                ok = false;
            else
                removed = true;
        } else if (::unlinkat(dirFd, entry->d_name, 0) != 0) {
            ok = false;
        } else {
            removed = true;
        }
    }
    return ok;
}

} // namespace

bool removeTreeAt(int dirFd, const char* name, bool* removedSomething) {
    bool ignored = false;
    bool& removed = removedSomething ? *removedSomething : ignored;
    removed = false;
    struct stat st;
    if (!lstatAt(dirFd, name, st))
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT;
    UniqueFd child = openDirAt(dirFd, name);
    if (!child)
        return false;
    if (!removeContents(child.get(), 0, removed))
        return false;
    return ::unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

std::string withoutTrailingSlashes(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    return path.substr(0, end);
}

} // namespace bw
