#include "folder_removal.h"

#include "files/log_line.h"
#include "files/remove_tree.h"
#include "files/unique_fd.h"
#include "files/no_follow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bw {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// error: a negative errno.
bool isPermanent(int error) {
    return error == -EACCES || error == -EPERM || error == -EROFS;
}

// One try: 0 when the folder is gone afterwards, otherwise the last failure as a negative errno.
int tryRemove(const std::string& path) {
    auto slash = path.rfind('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    std::string name = path.substr(slash + 1);
    UniqueFd parentFd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parentFd.get() < 0) {
        const int error = -errno;
        return exists(path) ? error : 0;
    }
    errno = 0;
    if (removeTreeAt(parentFd.get(), name))
        return 0;
    int error = errno ? -errno : -EBUSY;
    struct stat st {};
    if (fstatat(parentFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
        return 0;
    // The tree walk reports its last failure, usually the folder that stayed non-empty; a read-only
    // volume is told apart so that nobody waits for it.
    struct statvfs vfs {};
    if (fstatvfs(parentFd.get(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
        error = -EROFS;
    // Neither is a folder we may not write to (another user's) going to change its mind.
    else if (faccessat(parentFd.get(), name.c_str(), W_OK | X_OK, AT_EACCESS) != 0 && errno == EACCES)
        error = -EACCES;
    return error;
}

} // namespace

RemovalReport removeFoldersBounded(const std::vector<std::string>& folders, const MaintenanceServices& services,
                                   const RemovalOptions& options, const ProgressFunction& progress) {
    RemovalReport report;
    std::vector<std::string> seen;
    const auto step = std::max(options.checkEvery, std::chrono::milliseconds(1));
    const auto tries = 1 + options.waitPerFolder / step;
    std::size_t done = 0;
    if (progress)
        progress(0, folders.size());
    for (const auto& given : folders) {
        std::string path = withoutTrailingSlashes(given);
        bool handled = path.empty() || path[0] != '/' || path == "/" ||
                       std::find(seen.begin(), seen.end(), path) != seen.end() || !exists(path);
        if (!handled) {
            seen.push_back(path);
            int error = 0;
            bool gone = false;
            for (long long attempt = 0; attempt < tries; ++attempt) {
                if (attempt > 0)
                    services.sleep(step);
                error = tryRemove(path);
                if ((gone = error == 0))
                    break;
                if (isPermanent(error))
                    break;
            }
            if (gone) {
                report.removed.push_back(path);
            } else {
                bw::logLine(LOG_WARNING, "removeFoldersBounded: %s left behind: %s", path.c_str(),
                            std::strerror(-error));
                report.leftBehind.push_back({path, std::strerror(-error)});
            }
        }
        ++done;
        if (progress)
            progress(done, folders.size());
    }
    return report;
}

} // namespace bw
