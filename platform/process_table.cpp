#include "process_table.h"

#include "files/dir_handle.h"
#include "files/log_line.h"

#include <dirent.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace bw {

namespace {

// Reads a small /proc file relative to a process folder; empty when it is gone.
std::string readSmallFile(int dirFd, const char* name) {
    int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > 65536)
            break;
    }
    close(fd);
    return content;
}

// The command name sits between the first '(' and the last ')' of /proc/<pid>/stat, so a name holding
// ')' or spaces is read whole.
std::optional<std::string> commFromStat(const std::string& stat) {
    auto open = stat.find('(');
    auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    return stat.substr(open + 1, close - open - 1);
}

// First field of the "Uid:" line: the real user id.
std::optional<uid_t> realUidFromStatus(const std::string& status) {
    auto pos = status.find("\nUid:");
    if (pos == std::string::npos)
        return std::nullopt;
    const char* p = status.c_str() + pos + 5;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return std::nullopt;
    return static_cast<uid_t>(std::strtoul(p, nullptr, 10));
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

} // namespace

std::vector<ProcessEntry> readProcessTable(const std::string& procRoot) {
    std::vector<ProcessEntry> table;
    DirHandle dir = DirHandle::ofPath(procRoot);
    if (!dir) {
        bw::logLine(LOG_ERR, "readProcessTable: cannot open %s: %s", procRoot.c_str(), std::strerror(errno));
        return table;
    }
    while (const dirent* entry = dir.next()) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || !end || *end)
            continue;
        int pidFd = openat(dir.fd(), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (pidFd < 0)
            continue;
        std::string stat = readSmallFile(pidFd, "stat");
        auto comm = commFromStat(stat);
        // A process that has ended but is not yet reaped (zombie, dead) does nothing any more.
        auto nameEnd = stat.rfind(')');
        if (nameEnd != std::string::npos && nameEnd + 2 < stat.size() &&
            (stat[nameEnd + 2] == 'Z' || stat[nameEnd + 2] == 'X')) {
            close(pidFd);
            continue;
        }
        auto uid = realUidFromStatus("\n" + readSmallFile(pidFd, "status"));
        close(pidFd);
        if (comm && uid)
            table.push_back({static_cast<pid_t>(pid), *uid, *comm});
    }
    return table;
}

std::optional<std::vector<ProcessRecord>>
processInfoForDaemonNamed(const std::string& name, const std::vector<ProcessEntry>& table, bool caseInsensitive) {
    if (name.empty())
        return std::nullopt;
    std::string searched = name.substr(0, kProcessNameMax);
    std::vector<ProcessRecord> records;
    for (const auto& process : table) {
        bool match = caseInsensitive ? equalsIgnoringCase(process.comm, searched) : process.comm == searched;
        if (match)
            records.push_back({searched, process.realUid, process.pid});
    }
    if (records.empty())
        return std::nullopt;
    return records;
}

std::optional<std::vector<ProcessRecord>> processInfoForDaemonNamed(const std::string& name) {
    if (name.empty())
        return std::nullopt;
    return processInfoForDaemonNamed(name, readProcessTable());
}

bool anyProcessOfUser(const std::optional<std::vector<ProcessRecord>>& records, uid_t uid) {
    if (!records)
        return false;
    for (const auto& record : *records) {
        if (record.uid == uid)
            return true;
    }
    return false;
}

std::vector<std::string> commandLineOf(pid_t pid) {
    std::vector<std::string> args;
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return args;
    std::string content;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\0', start);
        if (end == std::string::npos)
            end = content.size();
        args.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

bool daemonRunsForTrash(uid_t uid, const std::string& trashArgument) {
    auto records = processInfoForDaemonNamed("bw2daemon");
    if (!records)
        return false;
    for (const auto& record : *records) {
        if (record.uid != uid)
            continue;
        auto argv = commandLineOf(record.pid);
        if (argv.size() > 2 && argv[2] == trashArgument)
            return true;
    }
    return false;
}

} // namespace bw
