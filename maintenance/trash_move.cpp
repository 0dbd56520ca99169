#include "trash_move.h"

#include "desktop_session.h"
#include "folder_removal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace bw {

std::string homeTrashFolder() {
    return xdgDataHome() + "/Trash";
}

std::string trashInfoEncodedPath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::optional<std::string> moveToTrash(const std::string& givenPath, const std::string& trashFolder) {
    std::string path = pathWithoutTrailingSlashes(givenPath);
    std::string name = path.substr(path.rfind('/') + 1);
    std::error_code ec;
    std::filesystem::create_directories(trashFolder + "/files", ec);
    std::filesystem::create_directories(trashFolder + "/info", ec);
    chmod(trashFolder.c_str(), 0700);

    char date[32];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::string info = "[Trash Info]\nPath=" + trashInfoEncodedPath(path) + "\nDeletionDate=" + date + "\n";

    for (int n = 1; n < 1000; ++n) {
        std::string candidate = n == 1 ? name : name + " " + std::to_string(n);
        std::string infoPath = trashFolder + "/info/" + candidate + ".trashinfo";
        // The .trashinfo made with O_EXCL reserves the name, as the trash rules ask.
        int fd = open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            syslog(LOG_ERR, "moveToTrash: cannot write %s: %s", infoPath.c_str(), std::strerror(errno));
            return std::nullopt;
        }
        bool written = write(fd, info.data(), info.size()) == static_cast<ssize_t>(info.size());
        close(fd);
        std::string target = trashFolder + "/files/" + candidate;
        if (written && renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return target;
        int error = written ? errno : EIO;
        unlink(infoPath.c_str());
        if (error == EEXIST)
            continue;
        syslog(LOG_ERR, "moveToTrash: cannot move %s to the trash: %s", path.c_str(), std::strerror(error));
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace bw
