#include "drag_staging.h"

#include "files/log_line.h"
#include "files/remove_tree.h"
#include "recovery_copy.h"

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

namespace bw {

namespace {

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool removeStagingFolder(const std::string& folder) {
    if (!bw::removeTree(folder)) {
        bw::logLine(LOG_ERR, "cannot remove the drag folder %s (%s)", folder.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// The program id in a staging folder's name ".bw2-drag-<pid>-XXXXXX"; 0 when the name is not one.
pid_t ownerOf(const std::string& name) {
    const std::size_t prefix = std::strlen(DragStaging::kFolderPrefix);
    if (name.compare(0, prefix, DragStaging::kFolderPrefix) != 0)
        return 0;
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(name.c_str() + prefix, &end, 10);
    if (errno != 0 || end == name.c_str() + prefix || *end != '-' || pid <= 0)
        return 0;
    return static_cast<pid_t>(pid);
}

bool isRunning(pid_t pid) {
    // EPERM: it runs, as someone else.
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

} // namespace

std::vector<std::string> dragStagingBases(const RecoveryItem& first) {
    std::vector<std::string> bases;
    std::string cache = parentOf(first.batchFolder);
    // Inside a browsed folder the batch is further up; the cache folder holds the batch folders.
    for (std::string folder = first.batchFolder; folder.size() > 1; folder = parentOf(folder)) {
        std::error_code error;
        if (std::filesystem::exists(folder + "/CacheIndex.bw2idx", error)) {
            cache = parentOf(folder);
            break;
        }
    }
    bases.push_back(cache);
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        bases.emplace_back(runtime);
    bases.emplace_back("/tmp");
    return bases;
}

DragStaging::DragStaging(pid_t owner) : m_owner(owner) {}

DragStaging::~DragStaging() {
    removeAll();
}

std::optional<StagedDrag> DragStaging::stage(const std::vector<RecoveryItem>& items,
                                             const std::vector<std::string>& bases) {
    if (items.empty())
        return std::nullopt;
    StagedDrag staged;
    for (const std::string& base : bases) {
        std::string templ = base + "/" + kFolderPrefix + std::to_string(m_owner) + "-XXXXXX";
        if (mkdtemp(templ.data())) {
            staged.folder = templ;
            break;
        }
    }
    if (staged.folder.empty()) {
        bw::logLine(LOG_ERR, "no staging folder for a drag");
        return std::nullopt;
    }
    m_folders[staged.folder] = std::nullopt;

    std::vector<std::string> names;
    for (const RecoveryItem& item : items)
        names.push_back(safeFileName(item.displayName));
    const std::vector<std::string> targets = dropNames(staged.folder, names);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string target = staged.folder + "/" + targets[i];
        if (!items[i].isFolder) {
            struct stat st {};
            if (lstat(items[i].rawItemPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                link(items[i].rawItemPath.c_str(), target.c_str()) == 0) {
                staged.paths.push_back(target);
                continue;
            }
        }
        // Folders, links and files that cannot be linked (locked, another volume): a copy stands in,
        // reflinked where the file system can.
        CopyOutcome outcome = recoverItemTo(items[i], staged.folder, targets[i]);
        if (!outcome.ok) {
            // recoverItemTo logged the failure with its destination.
            staged.errors.push_back(items[i].displayName + ": " + outcome.error);
            continue;
        }
        staged.paths.push_back(outcome.destination);
    }
    if (staged.paths.empty()) {
        removeNow(staged.folder);
        return std::nullopt;
    }
    return staged;
}

void DragStaging::release(const std::string& folder, Clock::time_point when) {
    auto found = m_folders.find(folder);
    if (found == m_folders.end())
        return;
    if (!found->second || when < *found->second)
        found->second = when;
}

void DragStaging::removeNow(const std::string& folder) {
    auto found = m_folders.find(folder);
    if (found == m_folders.end())
        return;
    removeStagingFolder(folder);
    m_folders.erase(found);
}

std::optional<DragStaging::Clock::time_point> DragStaging::removeDue(Clock::time_point now) {
    std::optional<Clock::time_point> next;
    for (auto it = m_folders.begin(); it != m_folders.end();) {
        if (it->second && *it->second <= now) {
            removeStagingFolder(it->first);
            it = m_folders.erase(it);
            continue;
        }
        if (it->second && (!next || *it->second < *next))
            next = it->second;
        ++it;
    }
    return next;
}

void DragStaging::removeAll() {
    for (const auto& [folder, deadline] : m_folders)
        removeStagingFolder(folder);
    m_folders.clear();
}

std::vector<std::string> DragStaging::folders() const {
    std::vector<std::string> held;
    for (const auto& [folder, deadline] : m_folders)
        held.push_back(folder);
    return held;
}

std::size_t DragStaging::removeLeftovers(const std::vector<std::string>& bases, uid_t uid) const {
    std::size_t removed = 0;
    for (const std::string& base : bases) {
        std::unique_ptr<DIR, DirCloser> dir(opendir(base.c_str()));
        if (!dir)
            continue;
        std::vector<std::string> doomed;
        while (dirent* entry = readdir(dir.get())) {
            const std::string name = entry->d_name;
            const pid_t owner = ownerOf(name);
            if (owner == 0)
                continue;
            const std::string path = base + "/" + name;
            struct stat st {};
            if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid)
                continue;
            const bool mine = owner == m_owner;
            if ((mine && !m_folders.count(path)) || (!mine && !isRunning(owner)))
                doomed.push_back(path);
        }
        for (const std::string& path : doomed)
            removed += removeStagingFolder(path) ? 1 : 0;
    }
    return removed;
}

} // namespace bw
