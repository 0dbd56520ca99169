#pragma once
// Watching the mount table: the kernel marks /proc/self/mountinfo readable-with-priority (POLLPRI) whenever
// a file system is mounted or unmounted. The watch owns that descriptor; an event loop waits on it and then
// asks which mount points are new.

#include "files/unique_fd.h"

#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace bw {

inline constexpr char kMountTableFile[] = "/proc/self/mountinfo";

class MountWatch {
public:
    // Opens the table and takes its current mount points as known. Another file than the kernel's
    // (tests) is read the same way; it simply never signals.
    explicit MountWatch(std::string mountTableFile = kMountTableFile);
    MountWatch(const MountWatch&) = delete;
    MountWatch& operator=(const MountWatch&) = delete;

    // False when the table could not be opened (one line was logged); nothing is then ever new.
    bool valid() const { return m_fd.valid(); }
    // The descriptor to wait on for POLLPRI (a Qt socket notifier of the Exception type); -1 when invalid.
    int descriptor() const { return m_fd.get(); }
    // Waits at most `limit` for the table to change; true when it did.
    bool waitForChange(std::chrono::milliseconds limit) const;
    // Acknowledges a change and answers the mount points that appeared since the last call, sorted by
    // name. Mount points that went away are forgotten, so that a volume mounted again is new again.
    std::vector<std::string> newMountPoints();

private:
    std::string m_file;
    UniqueFd m_fd;
    std::set<std::string> m_known;
};

} // namespace bw
