#include "store/cache_paths.h"

#include "files/log_line.h"
#include "files/unique_fd.h"
#include "plist/reference_time.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace bw {

namespace {

// Appends one path component the way a path API does: exactly one "/" between the parts.
std::string appendingPathComponent(std::string base, const std::string& component) {
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base.empty())
        return component;
    if (base != "/")
        base += '/';
    return base + component;
}

std::string roundedSeconds(double seconds) {
    // What "%.0f" prints (halves to even, "-0" for a small negative), without formatting a double: a
    // copy-mode survey makes one key per trash item every second.
    if (std::isfinite(seconds) && std::fabs(seconds) < 9.0e15) {
        const double rounded = std::nearbyint(seconds);
        if (rounded == 0.0 && std::signbit(seconds))
            return "-0";
        return std::to_string(static_cast<long long>(rounded));
    }
    char text[400]; // "%.0f" of the largest double has 309 digits
    std::snprintf(text, sizeof text, "%.0f", seconds);
    return text;
}

} // namespace

std::string cacheFolderFor(const std::string& trashPath, const std::string& cacheRoot, const std::string& homeFolder,
                           uid_t uid) {
    const bool homeLayout =
        trashPath.size() >= homeFolder.size() && trashPath.compare(0, homeFolder.size(), homeFolder) == 0;
    if (homeLayout)
        return appendingPathComponent(cacheRoot, kCacheFolderName);
    char component[64];
    std::snprintf(component, sizeof component, "%s/%d", kCacheFolderName, static_cast<int>(uid));
    return appendingPathComponent(cacheRoot, component);
}

std::string batchFolderName(std::time_t when) {
    struct tm local {};
    if (!localtime_r(&when, &local))
        return {};
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M %z", &local);
    std::string name(text, length);
    for (char& c : name)
        if (c == ':')
            c = '_';
    return name;
}

std::string continuedBatchFolderName(const std::string& batchName, unsigned part) {
    if (part <= 1)
        return batchName;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, " %03u", part);
    return batchName + suffix;
}

std::string batchNameOfFolder(const std::string& folderName) {
    // "... +0100 002": a space and at least three digits after the zone's four.
    const std::size_t space = folderName.rfind(' ');
    if (space == std::string::npos || space < 5 || folderName.size() - space - 1 < 3)
        return folderName;
    for (std::size_t i = space + 1; i < folderName.size(); ++i)
        if (folderName[i] < '0' || folderName[i] > '9')
            return folderName;
    const char sign = folderName[space - 5];
    if (sign != '+' && sign != '-')
        return folderName;
    return folderName.substr(0, space);
}

std::string newStoredItemName() {
    std::uint8_t bytes[16] = {};
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // Without a random source, fall back to the kernel's own UUID generator.
            // Each failure's errno is taken where it happens: the close below may change it.
            UniqueFd fd(::open("/proc/sys/kernel/random/uuid", O_RDONLY | O_CLOEXEC));
            int error = fd ? 0 : -errno;
            char text[37] = {};
            if (fd) {
                const ssize_t read = ::read(fd.get(), text, 36);
                error = read < 0 ? -errno : read == 36 ? 0 : -EIO;
            }
            fd.reset();
            if (error != 0) {
                bw::logLine(LOG_ERR, "newStoredItemName: no random source: %s", std::strerror(-error));
                return {};
            }
            std::string name(text, 36);
            for (char& c : name)
                if (c >= 'a' && c <= 'f')
                    c = static_cast<char>(c - 'a' + 'A');
            return name;
        }
        filled += static_cast<std::size_t>(got);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string itemKeyForFolder(double creationDate, const std::string& name, double modificationDate) {
    return roundedSeconds(creationDate) + "_" + name + "_" + roundedSeconds(modificationDate);
}

std::string itemKeyForFile(std::uint64_t size, const std::string& name, double modificationDate) {
    return std::to_string(size) + "_" + name + "_" + roundedSeconds(modificationDate);
}

std::optional<std::string> itemKeyAt(int dirFd, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos)
        return std::nullopt;
    struct statx st {};
    if (::statx(dirFd, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return std::nullopt;
    const struct timespec modified {
        static_cast<time_t>(st.stx_mtime.tv_sec), static_cast<long>(st.stx_mtime.tv_nsec)
    };
    const double modification = referenceTimeFromTimespec(modified);
    if (S_ISDIR(st.stx_mode)) {
        double creation = 0.0;
        if (st.stx_mask & STATX_BTIME) {
            const struct timespec born {
                static_cast<time_t>(st.stx_btime.tv_sec), static_cast<long>(st.stx_btime.tv_nsec)
            };
            creation = referenceTimeFromTimespec(born);
        }
        return itemKeyForFolder(creation, name, modification);
    }
    return itemKeyForFile(st.stx_size, name, modification);
}

} // namespace bw
