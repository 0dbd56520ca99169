#pragma once
// What the maintenance operations ask of the system, handed in so that tests can watch and stand in:
// posting requests, waiting, the process table and signals, and the package that owns a file.

#include "process_table.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bw {

struct MaintenanceServices {
    // Posts a notification, delivered immediately; object = nothing for the announcements without one.
    std::function<void(const std::string& name, const std::optional<std::string>& object)> post;
    std::function<void(std::chrono::milliseconds)> sleep;
    std::function<std::vector<ProcessEntry>()> processTable;
    std::function<bool(pid_t pid, int signal)> sendSignal;
    // The program a process runs (/proc/<pid>/exe); empty when it cannot be read.
    std::function<std::string(pid_t pid)> executableOf;
    // The installed package that owns a file (dpkg-query -S), nothing when none does.
    std::function<std::optional<std::string>(const std::string& path)> packageOwning;

    // /proc, kill(2), real sleeps, dpkg-query; `post` is left empty (the caller owns its bus).
    static MaintenanceServices system();
};

// Called after each folder with how many are done out of how many (the progress bar's value and range).
using ProgressFunction = std::function<void(std::size_t done, std::size_t total)>;

// Whether a command name read from the process table is `name` as the kernel keeps it (its first 15
// characters). A mere leading part is not enough: "bin" is no first-version daemon.
bool commandNameIs(const std::string& comm, const std::string& name);

// Sends signal 15 to every process of real user `uid` whose command name is one of `names` (never to
// this process); answers how many were signalled. A table that cannot be read signals nothing.
int terminateProcessesNamed(const std::vector<std::string>& names, uid_t uid, const MaintenanceServices& services);

// Sends `signal` to every process of real user `uid` whose program lies inside one of `folders`.
int signalProcessesInside(const std::vector<std::string>& folders, uid_t uid, int signal,
                          const MaintenanceServices& services);

} // namespace bw
