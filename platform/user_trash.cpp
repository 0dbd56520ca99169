#include "user_trash.h"

#include "desktop_session.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace bw {

namespace {

// Makes the folder and any missing parents (0700), as a fresh home may lack ~/.local/share.
bool makeFolder(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0) {
            struct stat st {};
            if (errno != EEXIST || stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

std::string localDeletionDate() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

void setError(std::string* error, const std::string& text) {
    if (error)
        *error = text;
}

} // namespace

std::string trashInfoEncodedPath(const std::string& path) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : path) {
        // Plain ASCII tests: the locale must not change what a .trashinfo says.
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::strchr("/-_.~", c)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kDigits[c >> 4];
            encoded += kDigits[c & 0xf];
        }
    }
    return encoded;
}

std::string trashInfoText(const std::string& originalPath, const std::string& deletionDate) {
    return "[Trash Info]\nPath=" + trashInfoEncodedPath(originalPath) + "\nDeletionDate=" + deletionDate + "\n";
}

std::string homeTrashFolder() {
    return xdgDataHome() + "/Trash";
}

std::optional<TrashedItem> moveToUserTrash(const std::string& path, std::string* error) {
    return moveToTrashFolder(path, homeTrashFolder(), error);
}

std::optional<TrashedItem> moveToTrashFolder(const std::string& path, const std::string& trashFolder,
                                             std::string* error) {
    if (path.empty() || path[0] != '/' || path == "/") {
        setError(error, "not an absolute path");
        return std::nullopt;
    }
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    std::string base = trimmed.substr(trimmed.find_last_of('/') + 1);
    if (!makeFolder(trashFolder + "/files") || !makeFolder(trashFolder + "/info")) {
        setError(error, "the Trash folder cannot be made");
        return std::nullopt;
    }
    std::string text = trashInfoText(trimmed, localDeletionDate());
    for (int n = 1; n < 1000; ++n) {
        std::string name = n == 1 ? base : base + " " + std::to_string(n);
        TrashedItem item{trashFolder + "/files/" + name, trashFolder + "/info/" + name + ".trashinfo", trimmed};
        // The info file is made first and exclusively: it reserves the name among trashing programs.
        int info = open(item.infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (info < 0) {
            if (errno == EEXIST)
                continue;
            setError(error, std::string("the Trash cannot be written (") + std::strerror(errno) + ")");
            return std::nullopt;
        }
        bool written = write(info, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (close(info) != 0 || !written) {
            unlink(item.infoPath.c_str());
            setError(error, "the Trash cannot be written");
            return std::nullopt;
        }
        if (renameat2(AT_FDCWD, trimmed.c_str(), AT_FDCWD, item.trashedPath.c_str(), RENAME_NOREPLACE) == 0)
            return item;
        int saved = errno;
        unlink(item.infoPath.c_str());
        if (saved == EEXIST)
            continue;
        setError(error, saved == EXDEV ? std::string("it is on another disk than the Trash")
                                       : std::string("it cannot be moved (") + std::strerror(saved) + ")");
        return std::nullopt;
    }
    setError(error, "no free name in the Trash");
    return std::nullopt;
}

bool restoreFromUserTrash(const TrashedItem& item) {
    if (renameat2(AT_FDCWD, item.trashedPath.c_str(), AT_FDCWD, item.originalPath.c_str(), RENAME_NOREPLACE) != 0)
        return false;
    unlink(item.infoPath.c_str());
    return true;
}

} // namespace bw
