#pragma once
// The kernel's news of one trash folder (inotify), so that the daemon surveys only after a change.

#include "files/unique_fd.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace bw {

class TrashWatch {
public:
    // What the queued events said since the last drain.
    struct News {
        bool changed = false;    // something arrived (or the queue overflowed: anything may have)
        bool folderGone = false; // the folder itself was deleted, moved away or unmounted
    };

    // Watches exactly the folder behind dirFd (the descriptor's own inode, whatever its path becomes), with
    // the caller's rights, and its parent (parentFd) for the removal of the entry `name` that holds it: a
    // folder that is still open somewhere (the daemon's own lock keeps it open) raises no event of its own
    // when it is removed. With contentChanges, writes and attribute changes of its items count as well (a
    // copy keeps items in the trash and takes them again once they change). 0, or a negative errno when the
    // kernel cannot: no instance or no watch left, or a file system without events (-EREMOTE).
    int watch(int dirFd, int parentFd, const std::string& name, bool contentChanges);
    // Whether the watch still covers this folder (the same device and inode, not removed meanwhile).
    bool watches(const struct stat& folder) const;
    bool valid() const { return m_fd.valid(); }
    // The descriptor that turns readable when news is queued.
    int fd() const { return m_fd.get(); }
    // Reads every queued event; what is queued later stays for the next drain.
    News drain();

private:
    UniqueFd m_fd;
    int m_wd = -1;
    int m_parentWd = -1;
    std::string m_name;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    std::vector<char> m_buffer;
};

} // namespace bw
