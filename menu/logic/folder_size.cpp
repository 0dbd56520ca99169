#include "folder_size.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bw {

FolderSizer::~FolderSizer() {
    closeAll();
}

void FolderSizer::closeAll() {
    for (DIR* dir : m_stack)
        closedir(dir);
    m_stack.clear();
}

std::uint64_t FolderSizer::getFolderSize(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    return walk(fd);
}

std::uint64_t FolderSizer::walk(int rootFd) {
    DIR* root = fdopendir(rootFd);
    if (!root) {
        close(rootFd);
        return 0;
    }
    m_stack.push_back(root);
    std::uint64_t sum = 0;
    while (!m_stack.empty()) {
        DIR* current = m_stack.back();
        errno = 0;
        dirent* entry = readdir(current);
        if (!entry) {
            closedir(current);
            m_stack.pop_back();
            continue;
        }
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, ".."))
            continue;
        struct stat st {};
        if (fstatat(dirfd(current), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISDIR(st.st_mode)) {
            sum += static_cast<std::uint64_t>(st.st_size);
            continue;
        }
        int childFd = openat(dirfd(current), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (childFd < 0) {
            if (errno == EMFILE || errno == ENFILE)
                syslog(LOG_WARNING, "getFolderSize: tree too deep, a folder is left uncounted");
            continue;
        }
        DIR* child = fdopendir(childFd);
        if (!child) {
            close(childFd);
            continue;
        }
        m_stack.push_back(child);
    }
    return sum;
}

} // namespace bw
