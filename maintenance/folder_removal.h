#pragma once
// Removing whole folders one after another with a bounded wait: a folder that is still there after the
// wait is reported as left behind instead of holding the operation forever.

#include "maintenance_services.h"

#include <chrono>
#include <string>
#include <vector>

namespace bw {

struct RemovalOptions {
    // How long one folder may take: tries are repeated every `checkEvery` until it is gone or the
    // bound is reached (a daemon that has not quit yet may still write into it meanwhile).
    std::chrono::milliseconds waitPerFolder{10000};
    std::chrono::milliseconds checkEvery{200};
};

struct LeftBehind {
    std::string path;
    std::string reason; // the system's word for the last failure
};

struct RemovalReport {
    std::vector<std::string> removed;
    std::vector<LeftBehind> leftBehind;
};

// Removes each folder with everything in it, never following a symbolic link; folders that do not
// exist are passed over, a folder listed twice is handled once. The progress counts every folder given.
// A failure the system will not change its mind about (no permission, read-only volume) ends the wait
// for that folder at once.
RemovalReport removeFoldersBounded(const std::vector<std::string>& folders, const MaintenanceServices& services,
                                   const RemovalOptions& options, const ProgressFunction& progress);

} // namespace bw
