#include "launch_validation.h"

#include "files/mount_table.h"
#include "files/no_follow.h"
#include "files/unique_fd.h"

// Runs inside the set-uid helper with effective uid 0: every decision here guards a root process, so
// the code trusts nothing but the kernel (descriptors, fstat, mountinfo) and the password database.

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bw {
namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Plain decimal that fits a signed 64-bit integer: the settings reader clamps what it reads to that
// range, so every value it can hand over must pass here too.
bool isDecimalInteger(const std::string& s) {
    size_t start = (!s.empty() && s[0] == '-') ? 1 : 0;
    size_t digits = s.size() - start;
    if (digits == 0 || digits > 19)
        return false;
    for (size_t i = start; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    return error == std::errc() && end == s.data() + s.size();
}

// Absolute, ends with "/", and every component is a plain name.
bool isPlainFolderPath(const std::string& p, std::string* why) {
    if (p.empty() || p[0] != '/') {
        *why = "is not absolute";
        return false;
    }
    if (p.back() != '/') {
        *why = "lacks its trailing slash";
        return false;
    }
    if (p.size() >= PATH_MAX) {
        *why = "is too long";
        return false;
    }
    size_t start = 1;
    while (start < p.size()) {
        size_t end = p.find('/', start);
        std::string component = p.substr(start, end - start);
        if (component.empty()) {
            *why = "has an empty component";
            return false;
        }
        if (component == "." || component == "..") {
            *why = "has a \".\" or \"..\" component";
            return false;
        }
        start = end + 1;
    }
    return true;
}

// The home folder of `uid` in the password database, without trailing slashes; empty when unknown.
std::string homeFolderOf(uid_t uid) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    for (int attempt = 0; attempt < 8; ++attempt) {
        struct passwd pw;
        struct passwd* found = nullptr;
        int rc = ::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !found || !found->pw_dir)
            return {};
        std::string home = found->pw_dir;
        while (home.size() > 1 && home.back() == '/')
            home.pop_back();
        return home;
    }
    return {};
}

bool refuse(std::string* reason, const std::string& why) {
    if (reason)
        *reason = why;
    return false;
}

} // namespace

namespace {

int openCheckedPath(const std::string& path, int finalFlags) {
    std::string why;
    if (!isPlainFolderPath(path.empty() || path.back() == '/' ? path : path + "/", &why)) {
        errno = EINVAL;
        return -1;
    }
    return openFolderTrustingRootLinks(path, finalFlags).release();
}

} // namespace

int openFolderWithoutSymlinks(const std::string& path) {
    return openCheckedPath(path, O_RDONLY);
}

int openFolderForSearchWithoutSymlinks(const std::string& path) {
    return openCheckedPath(path, O_PATH);
}

bool validateDaemonArguments(const std::vector<std::string>& args, uid_t realUid, std::string* reason) {
    if (args.size() != 8)
        return refuse(reason, "expected eight daemon arguments, got " + std::to_string(args.size()));
    for (size_t i : {0u, 3u, 4u, 5u, 7u})
        if (!isDecimalInteger(args[i]))
            return refuse(reason, "argument " + std::to_string(i + 1) + " is not a decimal integer");
    const std::string uidText = std::to_string(realUid);
    if (args[6] != uidText)
        return refuse(reason, "user id argument \"" + args[6] + "\" is not the caller's " + uidText);

    const std::string& trash = args[1];
    const std::string& cacheRoot = args[2];
    std::string why;
    if (!isPlainFolderPath(trash, &why))
        return refuse(reason, "trash path \"" + trash + "\" " + why);
    if (!isPlainFolderPath(cacheRoot, &why))
        return refuse(reason, "cache root \"" + cacheRoot + "\" " + why);

    const std::string volumeSuffix = "/.Trash-" + uidText + "/files/";
    const std::string sharedSuffix = "/.Trash/" + uidText + "/files/";
    if (endsWith(trash, volumeSuffix) || endsWith(trash, sharedSuffix)) {
        const bool shared = endsWith(trash, sharedSuffix);
        std::string mount = trash.substr(0, trash.size() - (shared ? sharedSuffix : volumeSuffix).size());
        if (mount.empty())
            mount = "/";
        const std::string mountFolder = mount == "/" ? mount : mount + "/";
        if (cacheRoot != mountFolder)
            return refuse(reason, "cache root \"" + cacheRoot + "\" is not the trash's mount point " + mountFolder);
        if (!isMountPoint(mount, readMountTable()))
            return refuse(reason, "\"" + mount + "\" is not a mount point");
        if (shared) {
            // The shared .Trash is only a trash when it is sticky, so that users cannot touch each other's.
            UniqueFd sharedTrash = openFolderTrustingRootLinks(mountFolder + ".Trash/", O_PATH);
            struct stat st;
            if (sharedTrash.get() < 0 || ::fstat(sharedTrash.get(), &st) != 0)
                return refuse(reason, "cannot open \"" + mountFolder + ".Trash\" without following links");
            if (!(st.st_mode & S_ISVTX))
                return refuse(reason, "\"" + mountFolder + ".Trash\" lacks the sticky bit");
        }
    } else if (endsWith(trash, "/Trash/files/")) {
        const std::string home = homeFolderOf(realUid);
        if (home.empty() || home == "/" || !isPlainFolderPath(home + "/", &why))
            return refuse(reason, "user " + uidText + " has no usable home folder");
        if (!startsWith(trash, home + "/"))
            return refuse(reason, "trash path \"" + trash + "\" is not inside the home folder " + home);
        if (cacheRoot != home + "/")
            return refuse(reason, "cache root \"" + cacheRoot + "\" is not the home folder " + home + "/");
    } else {
        return refuse(reason, "\"" + trash + "\" is not a trash files folder");
    }

    UniqueFd folder = openFolderTrustingRootLinks(trash, O_PATH);
    if (folder.get() < 0)
        return refuse(reason, "cannot open \"" + trash + "\" without following links: " + std::strerror(errno));
    struct stat st;
    if (::fstat(folder.get(), &st) != 0)
        return refuse(reason, "cannot read the status of \"" + trash + "\"");
    if (st.st_uid != realUid)
        return refuse(reason, "\"" + trash + "\" is owned by " + std::to_string(st.st_uid) + ", not " + uidText);
    // The folder holding "files/" too: whoever owns it can swap "files" for a folder of their own at any time.
    const std::string holder = trash.substr(0, trash.size() - std::strlen("files/"));
    UniqueFd holderFolder = openFolderTrustingRootLinks(holder, O_PATH);
    if (holderFolder.get() < 0 || ::fstat(holderFolder.get(), &st) != 0)
        return refuse(reason, "cannot open \"" + holder + "\": " + std::strerror(errno));
    if (st.st_uid != realUid)
        return refuse(reason, "\"" + holder + "\" is owned by " + std::to_string(st.st_uid) + ", not " + uidText);
    return true;
}

} // namespace bw
