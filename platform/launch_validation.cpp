#include "launch_validation.h"

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

class File {
public:
    explicit File(FILE* f) : m_f(f) {}
    ~File() {
        if (m_f)
            std::fclose(m_f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    FILE* get() const { return m_f; }

private:
    FILE* m_f;
};

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

std::vector<std::string> components(const std::string& p) {
    std::vector<std::string> out;
    size_t start = 1;
    while (start < p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos)
            end = p.size();
        if (end > start)
            out.push_back(p.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// A symbolic link on the way is followed only when root made it and nobody but root can replace it: the
// link and the folder holding it belong to root, and that folder is not writable by others unless it is
// sticky (others then cannot remove root's entries). This admits "/home -> /var/home" and refuses every
// link a user could have planted or swapped.
bool isTrustedLink(int folderFd, const struct stat& link) {
    struct stat folder;
    if (link.st_uid != 0 || ::fstat(folderFd, &folder) != 0 || folder.st_uid != 0)
        return false;
    return (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (folder.st_mode & S_ISVTX) != 0;
}

// Walks `p` from "/" one component at a time, following only trusted links (see above). The last folder is
// opened with `finalFlags`, the others as O_PATH (search permission only).
int openWalk(const std::string& p, int finalFlags) {
    constexpr int kMaxLinks = 40;
    const int common = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    std::vector<std::string> parts = components(p);
    std::reverse(parts.begin(), parts.end()); // a stack: the next component at the back
    // The folders walked so far, so that ".." in a trusted link's target goes back one of them.
    std::vector<UniqueFd> walked;
    walked.emplace_back(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (walked.back().get() < 0)
        return -1;
    int links = 0;
    while (!parts.empty()) {
        const std::string name = std::move(parts.back());
        parts.pop_back();
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (walked.size() > 1)
                walked.pop_back();
            continue;
        }
        const int here = walked.back().get();
        // The last folder is opened as asked at once; a link (or anything else) is looked at as O_PATH.
        const bool last = parts.empty() && finalFlags != O_PATH;
        UniqueFd next(::openat(here, name.c_str(), last ? (finalFlags | common) : (O_PATH | O_NOFOLLOW | O_CLOEXEC)));
        if (next.get() < 0 && last && (errno == ELOOP || errno == ENOTDIR))
            next = UniqueFd(::openat(here, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0)
            return -1;
        struct stat st;
        if (::fstat(next.get(), &st) != 0)
            return -1;
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks || !isTrustedLink(here, st)) {
                errno = ELOOP;
                return -1;
            }
            // Read through the descriptor: exactly the link that was checked.
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(next.get(), "", target, sizeof target - 1);
            if (n <= 0) {
                errno = n == 0 ? ENOENT : errno;
                return -1;
            }
            const std::string text(target, static_cast<size_t>(n));
            if (text[0] == '/')
                walked.resize(1);
            std::vector<std::string> more = components(text[0] == '/' ? text : "/" + text);
            parts.insert(parts.end(), more.rbegin(), more.rend());
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        if (last && parts.empty())
            return next.release();
        walked.push_back(std::move(next));
    }
    if (finalFlags == O_PATH)
        return walked.back().release();
    return ::openat(walked.back().get(), ".", finalFlags | O_DIRECTORY | O_CLOEXEC);
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

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        auto octal = [&](size_t k) { return field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(
                static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

bool isMountPoint(const std::string& mountPoint) {
    File f(std::fopen("/proc/self/mountinfo", "re"));
    if (!f.get())
        return false;
    char* line = nullptr;
    size_t capacity = 0;
    bool found = false;
    while (!found && ::getline(&line, &capacity, f.get()) > 0) {
        // id parent major:minor root mount-point ...: the fifth field.
        const char* p = line;
        for (int field = 0; field < 4 && p; ++field) {
            p = std::strchr(p, ' ');
            if (p)
                ++p;
        }
        if (!p)
            continue;
        const char* end = std::strpbrk(p, " \n");
        std::string raw(p, end ? static_cast<size_t>(end - p) : std::strlen(p));
        found = unescapeMountField(raw) == mountPoint;
    }
    std::free(line);
    return found;
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
    return openWalk(path, finalFlags);
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
        if (!isMountPoint(mount))
            return refuse(reason, "\"" + mount + "\" is not a mount point");
        if (shared) {
            // The shared .Trash is only a trash when it is sticky, so that users cannot touch each other's.
            UniqueFd sharedTrash(openWalk(mountFolder + ".Trash/", O_PATH));
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

    UniqueFd folder(openWalk(trash, O_PATH));
    if (folder.get() < 0)
        return refuse(reason, "cannot open \"" + trash + "\" without following links: " + std::strerror(errno));
    struct stat st;
    if (::fstat(folder.get(), &st) != 0)
        return refuse(reason, "cannot read the status of \"" + trash + "\"");
    if (st.st_uid != realUid)
        return refuse(reason, "\"" + trash + "\" is owned by " + std::to_string(st.st_uid) + ", not " + uidText);
    // The folder holding "files/" too: whoever owns it can swap "files" for a folder of their own at any time.
    const std::string holder = trash.substr(0, trash.size() - std::strlen("files/"));
    UniqueFd holderFolder(openWalk(holder, O_PATH));
    if (holderFolder.get() < 0 || ::fstat(holderFolder.get(), &st) != 0)
        return refuse(reason, "cannot open \"" + holder + "\": " + std::strerror(errno));
    if (st.st_uid != realUid)
        return refuse(reason, "\"" + holder + "\" is owned by " + std::to_string(st.st_uid) + ", not " + uidText);
    return true;
}

} // namespace bw
