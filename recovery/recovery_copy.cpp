#include "recovery_copy.h"

#include "files/atomic_file.h"
#include "fd_utils.h"
#include "files/copy_file.h"
#include "files/log_line.h"
#include "files/make_folders.h"
#include "store/trash_info.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bw {

namespace {

constexpr char kRecoverOperation[] = "-[RecoveryController recoverInFolder:]";
// Past this many candidates the folder is not worth searching further.
constexpr int kMaxCandidates = 100000;

bool existsAt(int dirFd, const std::string& name) {
    struct stat st;
    return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

std::string freeNameAt(int dirFd, const std::string& name, const std::set<std::string>& used) {
    if (!used.count(name) && !existsAt(dirFd, name))
        return name;
    for (int n = 1; n < kMaxCandidates; ++n) {
        std::string candidate = freeNameCandidate(name, n);
        if (!used.count(candidate) && !existsAt(dirFd, candidate))
            return candidate;
    }
    return {};
}

// A private folder inside the destination, so that a copy in progress is never seen under its final
// name and two copies at once never share a temporary name.
std::string makeStagingFolder(int dirFd) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char random[6] = {};
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return {};
        char name[64];
        std::snprintf(name, sizeof name, ".bw2-recovering-%02x%02x%02x%02x%02x%02x", random[0], random[1], random[2],
                      random[3], random[4], random[5]);
        if (::mkdirat(dirFd, name, 0700) == 0)
            return name;
        if (errno != EEXIST)
            return {};
    }
    errno = EEXIST;
    return {};
}

CopyOutcome failed(std::string destination, std::string error) {
    bw::logLine(LOG_ERR, "%s error: %s (%s)", kRecoverOperation, error.c_str(), destination.c_str());
    return CopyOutcome{false, std::move(destination), std::move(error)};
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder.size() > 1 && folder.back() == '/' ? folder + name
                                                     : (folder == "/" ? folder + name : folder + "/" + name);
}

} // namespace

std::string freeNameCandidate(const std::string& name, int n) {
    const std::string extension = pathExtension(name);
    const std::string base = nameWithoutExtension(name);
    const std::string middle = " - " + std::to_string(n);
    return extension.empty() ? base + middle : base + middle + "." + extension;
}

std::string freeNameIn(const std::string& folder, const std::string& name, const std::set<std::string>& used) {
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return used.count(name) ? freeNameCandidate(name, 1) : name;
    return freeNameAt(dir.get(), name, used);
}

std::vector<std::string> dropNames(const std::string& folder, const std::vector<std::string>& displayNames) {
    std::set<std::string> used;
    std::vector<std::string> names;
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& displayName : displayNames) {
        const std::string safe = safeFileName(displayName);
        std::string name = dir ? freeNameAt(dir.get(), safe, used) : safe;
        used.insert(name);
        names.push_back(std::move(name));
    }
    return names;
}

std::string safeFileName(const std::string& displayName) {
    if (displayName.empty() || displayName == "." || displayName == "..")
        return "Recovered item";
    std::string name = displayName;
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    return name;
}

CopyOutcome recoverItemTo(const RecoveryItem& item, const std::string& folder, const std::string& wantedName) {
    const std::string name = safeFileName(wantedName.empty() ? item.displayName : wantedName);
    UniqueFd destination(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!destination)
        return failed(joined(folder, name), std::string("cannot open the destination: ") + std::strerror(errno));
    UniqueFd batch = openFolderNoFollow(item.batchFolder);
    if (!batch)
        return failed(joined(folder, name), std::string("cannot open the cache: ") + std::strerror(errno));
    if (item.storedName.empty() || item.storedName.find('/') != std::string::npos)
        return failed(joined(folder, name), "not a stored item");

    const std::string staging = makeStagingFolder(destination.get());
    if (staging.empty())
        return failed(joined(folder, name), std::string("cannot write in the destination: ") + std::strerror(errno));
    UniqueFd stagingFd = openDirAt(destination.get(), staging.c_str());
    CopyOutcome outcome;
    KOR_CopyFile engine;
    std::string error;
    if (!stagingFd) {
        outcome = failed(joined(folder, name), std::strerror(errno));
    } else if (engine.copyItemAt(batch.get(), item.storedName.c_str(), stagingFd.get(), name, true, &error) !=
               KOR_CopyFile::kSuccess) {
        outcome = failed(joined(folder, name), error);
    } else {
        // Moved in under a name still free at that instant; a name taken meanwhile moves on to the next.
        std::set<std::string> taken;
        for (;;) {
            const std::string target = freeNameAt(destination.get(), name, taken);
            if (target.empty()) {
                outcome = failed(joined(folder, name), "no free name");
                break;
            }
            int r = ::renameat2(stagingFd.get(), name.c_str(), destination.get(), target.c_str(), RENAME_NOREPLACE);
            if (r != 0 && errno == EINVAL) // a file system without the flag
                r = existsAt(destination.get(), target)
                        ? (errno = EEXIST, -1)
                        : ::renameat(stagingFd.get(), name.c_str(), destination.get(), target.c_str());
            if (r == 0) {
                outcome = CopyOutcome{true, joined(folder, target), {}};
                break;
            }
            if (errno != EEXIST) {
                outcome = failed(joined(folder, target), std::strerror(errno));
                break;
            }
            taken.insert(target);
        }
    }
    stagingFd.reset();
    removeTreeAt(destination.get(), staging.c_str());
    return outcome;
}

std::vector<CopyOutcome> recoverInFolder(const std::vector<RecoveryItem>& items, const std::string& folder,
                                         const std::function<void(std::size_t, const std::string&)>& progress) {
    std::vector<CopyOutcome> outcomes;
    outcomes.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (progress)
            progress(i, items[i].displayName);
        outcomes.push_back(recoverItemTo(items[i], folder));
    }
    return outcomes;
}

CopyOutcome restoreToOriginalPlace(const RecoveryItem& item) {
    if (!item.originalPath)
        return failed(item.displayName, "the place it was trashed from is not known");
    const std::optional<std::string> original = safeOriginalPath(*item.originalPath);
    if (!original)
        return failed(*item.originalPath, "the recorded original place is not a usable path");
    return copyItemToPath(item, *original);
}

CopyOutcome copyItemToPath(const RecoveryItem& item, const std::string& destination) {
    const std::size_t slash = destination.rfind('/');
    if (destination.empty() || destination[0] != '/' || slash + 1 >= destination.size())
        return failed(destination, "not an absolute path to copy to");
    const std::string parent = slash == 0 ? "/" : destination.substr(0, slash);
    const std::string name = destination.substr(slash + 1);
    // With the caller's rights and umask.
    if (const int made = makeFolderPath(parent, 0777); made != 0)
        return failed(destination, std::string("cannot recreate its folder: ") + std::strerror(-made));
    return recoverItemTo(item, parent, name);
}

} // namespace bw
