#include "protection_problem.h"

#include "agent_strings.h"
#include "files/atomic_file.h"
#include "files/log_line.h"
#include "text/shell_quote.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace bw {

namespace {

constexpr std::array<std::pair<ProtectionProblem, const char*>, 7> kKeys = {{
    {ProtectionProblem::LauncherNotSetUp, "202_Protection Launcher Not Set Up"},
    {ProtectionProblem::NoAuthorizationTool, "202_Protection No Authorization Tool"},
    {ProtectionProblem::AuthorizationDismissed, "202_Protection Authorization Dismissed"},
    {ProtectionProblem::AuthorizationRefused, "202_Protection Authorization Refused"},
    {ProtectionProblem::RepairFailed, "202_Protection Repair Failed"},
    {ProtectionProblem::LauncherRefused, "202_Protection Launcher Refused"},
    {ProtectionProblem::NoBus, "202_Protection No Bus"},
}};

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// One field per line in the file: no line breaks inside a field.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

bool rootOwnedNotWritableByOthers(const struct stat& st) {
    return st.st_uid == 0 && !(st.st_mode & 022);
}

} // namespace

std::string protectionProblemKey(ProtectionProblem problem) {
    for (const auto& [p, key] : kKeys)
        if (p == problem)
            return key;
    return kKeys[0].second;
}

std::optional<ProtectionProblem> protectionProblemFromKey(const std::string& key) {
    for (const auto& [p, k] : kKeys)
        if (key == k)
            return p;
    return std::nullopt;
}

std::string protectionProblemTitle() {
    return localizedString("202_Protection Problem title");
}

std::string protectionProblemText(const ProtectionProblemReport& report) {
    const std::string trash = report.trash.empty() ? localizedString("202_Protection your trashes") : report.trash;
    const std::string detail = report.detail.empty() ? "" : " (" + report.detail + ")";
    return formatText(localizedString(protectionProblemKey(report.problem)),
                      {trash, detail, launcherSetupCommand(report.launcher)});
}

std::string launcherSetupProblem(const std::string& launcher, bool* repairCanFix) {
    if (repairCanFix)
        *repairCanFix = false;
    const std::string folder = folderOf(launcher);
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "the launcher's folder " + folder + " is missing";
    if (!rootOwnedNotWritableByOthers(st))
        return "the launcher's folder " + folder + " is not root-owned or is writable by group or others";
    if (lstat((folder + "/bw2daemon").c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return "bw2daemon is missing beside the launcher " + launcher;
    if (!rootOwnedNotWritableByOthers(st))
        return "bw2daemon beside the launcher is not root-owned or is writable by group or others";
    if (lstat(launcher.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return "the launcher " + launcher + " is missing";
    if (st.st_uid != 0) {
        if (repairCanFix)
            *repairCanFix = true;
        return "the launcher " + launcher + " is not root-owned yet";
    }
    if (!(st.st_mode & S_ISUID))
        return "the launcher " + launcher + " is root-owned but not set-uid";
    return {};
}

std::string launcherSetupCommand(const std::string& launcher) {
    const std::string name = launcher.substr(launcher.rfind('/') + 1);
    return "sudo sh -c " + shellWord("cd " + shellWord(folderOf(launcher)) + " && chown root:root . bw2daemon " +
                                     shellWord(name) + " && chmod 0755 . bw2daemon && chmod 04755 " + shellWord(name));
}

bool standardErrorKeepsLines() {
    struct stat st {};
    return isatty(STDERR_FILENO) || (fstat(STDERR_FILENO, &st) == 0 && S_ISREG(st.st_mode));
}

std::string protectionProblemFilePath(const std::string& home) {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base = state && state[0] == '/' ? std::string(state) : home + "/.local/state";
    return base + "/binwarden2/protection-problem";
}

bool writeLastProtectionProblem(const std::string& path, const ProtectionProblemReport& report) {
    const std::string folder = folderOf(path);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    UniqueFd dir = openFolderNoFollow(folder);
    if (!dir) {
        bw::logLine(LOG_WARNING, "cannot keep the protection problem in %s", folder.c_str());
        return false;
    }
    fchmod(dir.get(), 0700);
    std::string text = protectionProblemKey(report.problem) + "\n" + oneLine(report.trash) + "\n" +
                       oneLine(report.launcher) + "\n" + oneLine(report.detail) + "\n" +
                       std::to_string(static_cast<long long>(report.when)) + "\n";
    std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return writeFileAtomicallyAt(dir.get(), path.substr(path.rfind('/') + 1), data, static_cast<uid_t>(-1),
                                 static_cast<gid_t>(-1), "protection problem");
}

std::optional<ProtectionProblemReport> readLastProtectionProblem(const std::string& path) {
    UniqueFd dir = openFolderNoFollow(folderOf(path));
    if (!dir)
        return std::nullopt;
    auto bytes = readWholeFileAt(dir.get(), path.substr(path.rfind('/') + 1), 64 * 1024);
    if (!bytes)
        return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    std::array<std::string, 5> fields;
    std::size_t start = 0;
    for (auto& field : fields) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return std::nullopt;
        field = text.substr(start, end - start);
        start = end + 1;
    }
    auto problem = protectionProblemFromKey(fields[0]);
    if (!problem)
        return std::nullopt;
    ProtectionProblemReport report{*problem, fields[1], fields[2], fields[3], 0};
    report.when = static_cast<std::time_t>(std::strtoll(fields[4].c_str(), nullptr, 10));
    return report;
}

void clearLastProtectionProblem(const std::string& path) {
    unlink(path.c_str());
}

} // namespace bw
