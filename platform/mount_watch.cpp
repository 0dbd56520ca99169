#include "mount_watch.h"

#include "files/mount_table.h"
#include "files/log_line.h"

#include <fcntl.h>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bw {

MountWatch::MountWatch(std::string mountTableFile)
    : m_file(std::move(mountTableFile)), m_fd(::open(m_file.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (!m_fd.valid()) {
        bw::logLine(LOG_ERR, "MountWatch: cannot open %s: %s", m_file.c_str(), std::strerror(errno));
        return;
    }
    for (const auto& mount : readMountTable(m_file))
        m_known.insert(mount.mountPoint);
}

bool MountWatch::waitForChange(std::chrono::milliseconds limit) const {
    if (!m_fd.valid())
        return false;
    pollfd entry{m_fd.get(), POLLPRI, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, static_cast<int>(limit.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & (POLLPRI | POLLERR)) != 0;
}

std::vector<std::string> MountWatch::newMountPoints() {
    if (!m_fd.valid())
        return {};
    // Reading the file to its end from the start acknowledges the change; until then it stays signalled.
    char buffer[4096];
    ::lseek(m_fd.get(), 0, SEEK_SET);
    while (::read(m_fd.get(), buffer, sizeof buffer) > 0) {
    }
    std::set<std::string> now;
    for (const auto& mount : readMountTable(m_file))
        now.insert(mount.mountPoint);
    std::vector<std::string> appeared;
    for (const auto& point : now) {
        if (!m_known.count(point))
            appeared.push_back(point);
    }
    m_known = std::move(now);
    return appeared;
}

} // namespace bw
