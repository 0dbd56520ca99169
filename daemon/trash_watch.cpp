#include "trash_watch.h"

#include "fd_utils.h"

#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace bw {

namespace {

// The folder's own end: what a vanished trash (an ejected volume, a removed folder) looks like.
constexpr std::uint32_t kFolderGoneMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

// Network file systems: what another machine puts into the folder raises no event here.
bool changedElsewhereUnseen(int dirFd) {
    struct statfs fs;
    if (::fstatfs(dirFd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case V9FS_MAGIC:
    case 0x00C36400UL: // Ceph
        return true;
    default:
        return false;
    }
}

} // namespace

int TrashWatch::watch(int dirFd, int parentFd, const std::string& name, bool contentChanges) {
    struct stat st;
    if (::fstat(dirFd, &st) != 0)
        return -errno;
    if (changedElsewhereUnseen(dirFd))
        return -EREMOTE;
    if (!m_fd) {
        m_fd.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!m_fd)
            return -errno;
    }
    // An earlier folder at the same path, and its parent, are no longer of interest.
    for (int* wd : {&m_wd, &m_parentWd}) {
        if (*wd >= 0)
            ::inotify_rm_watch(m_fd.get(), *wd);
        *wd = -1;
    }
    std::uint32_t mask = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (contentChanges)
        mask |= IN_CLOSE_WRITE | IN_ATTRIB;
    // Through the descriptors' own names: the inodes that were opened (without following links) are the
    // ones watched, never whatever the paths may lead to by now.
    const int wd = ::inotify_add_watch(m_fd.get(), procFdPath(dirFd).c_str(), mask);
    if (wd < 0)
        return -errno;
    const int parentWd = ::inotify_add_watch(m_fd.get(), procFdPath(parentFd).c_str(),
                                             IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (parentWd < 0 || parentWd == wd) {
        const int err = parentWd < 0 ? -errno : -EINVAL;
        ::inotify_rm_watch(m_fd.get(), wd);
        return err;
    }
    m_wd = wd;
    m_parentWd = parentWd;
    m_name = name;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    return 0;
}

bool TrashWatch::watches(const struct stat& folder) const {
    return m_fd && m_wd >= 0 && m_parentWd >= 0 && folder.st_dev == m_dev && folder.st_ino == m_ino;
}

TrashWatch::News TrashWatch::drain() {
    News news;
    if (!m_fd)
        return news;
    if (m_buffer.empty())
        m_buffer.resize(64 * 1024);
    for (;;) {
        const ssize_t n = ::read(m_fd.get(), m_buffer.data(), m_buffer.size());
        if (n <= 0)
            break; // EAGAIN: nothing more queued
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::memcpy(&event, m_buffer.data() + at, sizeof event);
            const char* entry = m_buffer.data() + at + sizeof(inotify_event);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                news.changed = true;
                continue;
            }
            if (event.wd == m_parentWd) {
                // Only the folder's own entry, or the parent itself going, matters there.
                const bool named = event.len > 0 && m_name == entry;
                if ((event.mask & kFolderGoneMask) || ((event.mask & (IN_DELETE | IN_MOVED_FROM)) && named))
                    news.folderGone = true;
                if (event.mask & IN_IGNORED)
                    m_parentWd = -1;
                continue;
            }
            if (event.wd != m_wd)
                continue; // a watch given up earlier: its last words change nothing
            if (event.mask & kFolderGoneMask) {
                news.folderGone = true;
                if (event.mask & IN_IGNORED)
                    m_wd = -1; // the kernel dropped the watch
                continue;
            }
            news.changed = true;
        }
    }
    return news;
}

} // namespace bw
