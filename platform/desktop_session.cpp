#include "desktop_session.h"

#include "files/atomic_file.h"
#include "files/log_line.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace bw {

namespace {

std::string trimTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string absoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value && value[0] == '/')
        return trimTrailingSlashes(value);
    return {};
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The entry replaced whole, so a desktop reading it at login never sees half of it.
bool writeFileAtomically(const std::string& path, const std::string& content) {
    const std::string folder = parentOf(path);
    UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        bw::logLine(LOG_ERR, "writeAutostartEntry: cannot open %s: %s", folder.c_str(), std::strerror(errno));
        return false;
    }
    ReplaceOptions options;
    options.mode = 0644;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(content.data());
    return replaceFileAt(dir.get(), path.substr(path.rfind('/') + 1),
                         std::span<const std::uint8_t>(bytes, content.size()), options,
                         "writeAutostartEntry") == ReplaceResult::Written;
}

} // namespace

std::string homeFolder() {
    std::string home = absoluteEnv("HOME");
    if (!home.empty())
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return trimTrailingSlashes(pw->pw_dir);
    return "/";
}

std::string xdgDataHome() {
    std::string dir = absoluteEnv("XDG_DATA_HOME");
    return dir.empty() ? homeFolder() + "/.local/share" : dir;
}

std::string xdgConfigHome() {
    std::string dir = absoluteEnv("XDG_CONFIG_HOME");
    return dir.empty() ? homeFolder() + "/.config" : dir;
}

std::string selfExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string installRoot() {
    return parentOf(parentOf(selfExecutablePath()));
}

std::string launcherPathIn(const std::string& root) {
    return root + "/libexec/binwarden2/helper";
}
std::string mainApplicationPathIn(const std::string& root) {
    return root + "/bin/binwarden2";
}

std::string autostartEntryPath() {
    return xdgConfigHome() + "/autostart/binwarden2-menu.desktop";
}

bool autostartEntryExists() {
    struct stat st {};
    return stat(autostartEntryPath().c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string desktopExecQuote(const std::string& path) {
    std::string quoted = "\"";
    // Inside the quotes '"', '`', '$' and '\\' take a backslash; the value is then a string, where every
    // backslash is written twice.
    for (char c : path) {
        if (c == '\\') {
            quoted += "\\\\\\\\";
            continue;
        }
        if (c == '"' || c == '`' || c == '$')
            quoted += "\\\\";
        quoted += c;
    }
    // '%' starts a field code in Exec=, so it is doubled.
    std::string out;
    for (char c : quoted + "\"") {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

bool writeAutostartEntry(const std::string& executable) {
    std::string path = autostartEntryPath();
    std::error_code ec;
    std::filesystem::create_directories(parentOf(path), ec);
    std::string content = "[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Binwarden 2 Menu\n"
                          "Comment=Keeps a second copy of what you throw away\n"
                          "Exec=" +
                          desktopExecQuote(executable) +
                          "\n"
                          "Icon=binwarden2\n"
                          "Terminal=false\n"
                          "NoDisplay=true\n"
                          "X-GNOME-Autostart-enabled=true\n";
    // replaceFileAt has logged what failed.
    return writeFileAtomically(path, content);
}

int osVersionFromRelease(const std::string& release) {
    int parts[3] = {0, 0, 0};
    const char* p = release.c_str();
    for (int i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            if (i == 0)
                return 0;
            break;
        }
        char* end = nullptr;
        long value = std::strtol(p, &end, 10);
        parts[i] = static_cast<int>(value > 99 && i > 0 ? 99 : (value > 9999 ? 9999 : value));
        p = end;
        if (*p != '.')
            break;
        ++p;
    }
    return parts[0] * 10000 + parts[1] * 100 + parts[2];
}

int OSXVersion() {
    utsname name{};
    if (uname(&name) != 0)
        return 0;
    return osVersionFromRelease(name.release);
}

} // namespace bw
