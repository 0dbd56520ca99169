#pragma once
// The kernel's process table as /proc shows it: command names (cut to 15 characters by the kernel),
// process ids and real user ids.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace bw {

// The kernel keeps at most 15 characters of a command name (TASK_COMM_LEN - 1).
inline constexpr std::size_t kProcessNameMax = 15;

struct ProcessRecord {
    std::string name; // "daemonNameKey": the name searched for, cut to kProcessNameMax
    uid_t uid = 0;    // "daemonUIDKey": the process's real user id
    pid_t pid = 0;    // "daemonPIDKey"
};

struct ProcessEntry {
    pid_t pid = 0;
    uid_t realUid = 0;
    std::string comm;
};

// Every living process of the table under procRoot (normally "/proc"); processes that vanish while read,
// and ended ones not yet reaped (zombies), are skipped. Empty when the table cannot be read.
std::vector<ProcessEntry> readProcessTable(const std::string& procRoot = "/proc");

// The records of every process whose command name equals `name` cut to kProcessNameMax characters
// (exact, case-sensitive unless told otherwise). Nothing when the name is empty or nothing matches.
std::optional<std::vector<ProcessRecord>> processInfoForDaemonNamed(const std::string& name,
                                                                    const std::vector<ProcessEntry>& table,
                                                                    bool caseInsensitive = false);
std::optional<std::vector<ProcessRecord>> processInfoForDaemonNamed(const std::string& name);

// Whether any record belongs to `uid`.
bool anyProcessOfUser(const std::optional<std::vector<ProcessRecord>>& records, uid_t uid);

// The argument vector of a process (/proc/<pid>/cmdline); empty when it is gone or unreadable.
std::vector<std::string> commandLineOf(pid_t pid);

// Whether a "bw2daemon" of `uid` runs whose trash argument (argument 2) is `trashArgument`.
bool daemonRunsForTrash(uid_t uid, const std::string& trashArgument);

} // namespace bw
