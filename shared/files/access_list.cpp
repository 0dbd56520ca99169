#include "files/access_list.h"

#include "files/dir_handle.h"
#include "files/log_line.h"
#include "files/no_follow.h"
#include "files/unique_fd.h"

#include <acl/libacl.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <type_traits>

namespace bw {

namespace {

struct AclDeleter {
    void operator()(void* acl) const {
        if (acl)
            acl_free(acl);
    }
};
using AclPtr = std::unique_ptr<std::remove_pointer_t<acl_t>, AclDeleter>;

bool aclUnsupported(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS;
}

// The folder of this program, from /proc/self/exe.
std::string programFolder() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string exe(buffer, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

// Whether the item behind a /proc name has an access list beyond its mode; a folder's default list counts.
bool hasExtendedList(const std::string& path, bool isFolder) {
    if (acl_extended_file(path.c_str()) > 0)
        return true;
    if (!isFolder)
        return false;
    AclPtr def(acl_get_file(path.c_str(), ACL_TYPE_DEFAULT));
    return def && acl_entries(def.get()) > 0;
}

// Replaces the access list of the item reached by `path` and drops a folder's default list.
bool removeListsOf(const std::string& path, const struct stat& st, const char* name) {
    bool success = true;
    AclPtr minimal(acl_from_mode(st.st_mode & 07777));
    if (!minimal) {
        bw::logLine(LOG_ERR, "clearACL: acl_from_mode() failed");
        return false;
    }
    if (acl_set_file(path.c_str(), ACL_TYPE_ACCESS, minimal.get()) != 0 && !aclUnsupported(errno)) {
        bw::logLine(LOG_ERR, "clearACL: acl_set_file() failed for %s: %s", name, std::strerror(errno));
        success = false;
    }
    if (S_ISDIR(st.st_mode) && acl_delete_def_file(path.c_str()) != 0 && !aclUnsupported(errno) && errno != ENODATA) {
        bw::logLine(LOG_ERR, "clearACL: acl_delete_def_file() failed for %s: %s", name, std::strerror(errno));
        success = false;
    }
    return success;
}

} // namespace

bool clearACLOfItem(int itemFd, const char* name) {
    struct stat st;
    if (::fstat(itemFd, &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        return true;
    const std::string path = procFdPath(itemFd);
    bool success = removeListsOf(path, st, name);
    if (acl_extended_file(path.c_str()) > 0)
        return clearACLWithTool(path, false);
    return success;
}

bool clearACLAt(int dirFd, const char* name, bool clearFolderContents) {
    UniqueFd item(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!item)
        return false;
    struct stat st;
    if (::fstat(item.get(), &st) != 0)
        return false;
    // A link carries no list of its own, and what it points at is none of our business.
    if (S_ISLNK(st.st_mode))
        return true;

    // The magic /proc name reaches exactly the opened item, never whatever the path names later.
    const std::string path = procFdPath(item.get());
    bool success = removeListsOf(path, st, name);

    if (acl_extended_file(path.c_str()) > 0)
        return clearACLWithTool(path, clearFolderContents);

    if (!clearFolderContents || !S_ISDIR(st.st_mode))
        return success;
    UniqueFd folder = openDirAt(dirFd, name);
    if (!folder)
        return false;
    DirHandle reader = DirHandle::listing(folder.get());
    if (!reader.valid())
        return false;
    while (const struct dirent* entry = reader.next()) {
        if (!clearACLAt(folder.get(), entry->d_name, true))
            success = false;
    }
    return success;
}

bool clearACL(const std::string& path, bool clearFolderContents) {
    UniqueFd parent;
    std::string name;
    if (!splitPath(path, parent, name))
        return false;
    return clearACLAt(parent.get(), name.c_str(), clearFolderContents);
}

bool clearACLWithTool(const std::string& path, bool clearFolderContents) {
    static constexpr char kTool[] = "kortool_acl1";
    std::string folder = programFolder();
    if (folder.empty())
        return false;
    std::string tool = folder + "/" + kTool;
    if (::access(tool.c_str(), X_OK) != 0) {
        std::size_t slash = folder.rfind('/');
        tool = (slash == std::string::npos ? std::string() : folder.substr(0, slash)) + "/" + kTool;
        if (::access(tool.c_str(), X_OK) != 0)
            return false;
    }
    struct passwd pwd;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(::getuid(), &pwd, buffer, sizeof buffer, &found) != 0 || !found)
        return false;
    const uid_t uid = found->pw_uid;
    const gid_t gid = found->pw_gid;

    pid_t child = ::fork();
    if (child < 0)
        return false; // a tool that never ran cleared nothing
    if (child == 0) {
        if (::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(127);
        char* const environment[] = {nullptr};
        ::execle(tool.c_str(), tool.c_str(), path.c_str(), clearFolderContents ? "0" : "1", static_cast<char*>(nullptr),
                 environment);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return status == 0;
}

bool fileHasACLAt(int dirFd, const char* name) {
    UniqueFd item(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!item)
        return false;
    struct stat st;
    if (::fstat(item.get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return false;
    return hasExtendedList(procFdPath(item.get()), S_ISDIR(st.st_mode));
}

bool fileHasACL(const std::string& path) {
    UniqueFd parent;
    std::string name;
    if (!splitPath(path, parent, name))
        return false;
    return fileHasACLAt(parent.get(), name.c_str());
}

bool copyACLFromItem(const std::string& source, const std::string& destination) {
    UniqueFd src = openItemNoFollow(source);
    UniqueFd dst = openItemNoFollow(destination);
    struct stat st;
    if (!src || ::fstat(src.get(), &st) != 0)
        return false;
    if (!(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return true;
    struct stat dstSt;
    if (!dst || ::fstat(dst.get(), &dstSt) != 0 || S_ISLNK(dstSt.st_mode))
        return false;
    const std::string from = procFdPath(src.get());
    const std::string to = procFdPath(dst.get());
    if (!hasExtendedList(from, S_ISDIR(st.st_mode))) {
        // Nothing to copy is not a failure; a list the destination had of its own goes.
        if (!(S_ISREG(dstSt.st_mode) || S_ISDIR(dstSt.st_mode)) || !hasExtendedList(to, S_ISDIR(dstSt.st_mode)))
            return true;
        return clearACLOfItem(dst.get(), destination.c_str());
    }
    bool ok = true;
    AclPtr access(acl_get_file(from.c_str(), ACL_TYPE_ACCESS));
    if (!access || acl_set_file(to.c_str(), ACL_TYPE_ACCESS, access.get()) != 0)
        ok = false;
    if (S_ISDIR(st.st_mode) && S_ISDIR(dstSt.st_mode)) {
        AclPtr def(acl_get_file(from.c_str(), ACL_TYPE_DEFAULT));
        if (def && acl_entries(def.get()) > 0 ? acl_set_file(to.c_str(), ACL_TYPE_DEFAULT, def.get()) != 0
                                              : (acl_delete_def_file(to.c_str()) != 0 && errno != ENODATA))
            ok = false;
    }
    if (!ok)
        bw::logLine(LOG_ERR, "KOR_CopyFile copyACLFromItem: %s to %s: %s", source.c_str(), destination.c_str(),
               std::strerror(errno));
    return ok;
}

} // namespace bw
