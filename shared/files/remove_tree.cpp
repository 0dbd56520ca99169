#include "files/remove_tree.h"

#include "files/no_follow.h"
#include "files/tree_walk.h"

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace bw {

namespace {

// Whose folders these are: the file-system user id (a root daemon working with a user's rights sets
// it), which setfsuid answers when asked for an id it cannot take.
uid_t fileSystemUser() {
    return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
}

// Gives a folder of the caller's own the owner's full rights, so that its entries can be listed and
// removed; false when it is not ours or nothing changed.
bool grantOwnerRights(int folderFd) {
    struct stat st {};
    if (::fstat(folderFd, &st) != 0 || st.st_uid != fileSystemUser() || (st.st_mode & S_IRWXU) == S_IRWXU)
        return false;
    return ::fchmod(folderFd, (st.st_mode & 07777) | S_IRWXU) == 0;
}

// The same for a folder that cannot be opened for listing yet: an O_PATH descriptor names exactly the
// folder (O_DIRECTORY|O_NOFOLLOW refuse anything else), and its /proc name lets chmod reach it.
bool grantOwnerRightsAt(int parentFd, const char* name) {
    UniqueFd folder(::openat(parentFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!folder || ::fstat(folder.get(), &st) != 0 || st.st_uid != fileSystemUser() ||
        (st.st_mode & S_IRWXU) == S_IRWXU)
        return false;
    return ::chmod(procFdPath(folder.get()).c_str(), (st.st_mode & 07777) | S_IRWXU) == 0;
}

// unlinkat, retried once when the holding folder is a read-only folder of ours.
bool unlinkEntry(int folderFd, const char* name, int flags) {
    if (::unlinkat(folderFd, name, flags) == 0 || errno == ENOENT)
        return true;
    if ((errno == EACCES || errno == EPERM) && grantOwnerRights(folderFd))
        return ::unlinkat(folderFd, name, flags) == 0 || errno == ENOENT;
    return false;
}

} // namespace

bool removeTreeAt(int dirFd, const char* name, bool* removedSomething) {
    bool ignored = false;
    bool& removed = removedSomething ? *removedSomething : ignored;
    removed = false;
    struct stat st {};
    if (!lstatAt(dirFd, name, st))
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) {
        removed = unlinkEntry(dirFd, name, 0);
        return removed;
    }
    UniqueFd top = openDirAt(dirFd, name);
    if (!top && errno == EACCES && grantOwnerRightsAt(dirFd, name))
        top = openDirAt(dirFd, name);
    if (!top)
        return errno == ENOENT;

    // The last failure is the one reported: usually the folder that stayed non-empty, which a caller may
    // wait for, rather than what kept it so.
    int lastError = 0;
    const auto failed = [&lastError] { lastError = errno; };
    TreeWalk walk;
    const bool walked = walk.walk(
        top.get(),
        [&](const TreeWalk::Entry& entry) {
            if (entry.type != DT_DIR) {
                // Most entries are not folders: unlinking first saves a stat for each.
                if (unlinkEntry(entry.folderFd, entry.name, 0)) {
                    removed = true;
                    return TreeWalk::Step::Next;
                }
                if (errno != EISDIR) {
                    failed();
                    return TreeWalk::Step::Next;
                }
            }
            // A folder we may not list is opened once it is ours to open.
            if (::faccessat(entry.folderFd, entry.name, R_OK | W_OK | X_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 &&
                errno == EACCES)
                grantOwnerRightsAt(entry.folderFd, entry.name);
            return TreeWalk::Step::Descend;
        },
        [&](const TreeWalk::Entry& entry) {
            if (unlinkEntry(entry.folderFd, entry.name, AT_REMOVEDIR))
                removed = true;
            else
                failed();
        });
    if (!walked)
        failed();
    if (!unlinkEntry(dirFd, name, AT_REMOVEDIR)) {
        failed();
        errno = lastError;
        return false;
    }
    removed = true;
    return true;
}

bool removeTree(const std::string& path) {
    const std::string trimmed = withoutTrailingSlashes(path);
    const std::size_t slash = trimmed.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : trimmed.substr(0, slash));
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EINVAL;
        return false;
    }
    UniqueFd folder(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return errno == ENOENT;
    return removeTreeAt(folder.get(), name.c_str());
}

} // namespace bw
