#pragma once
// Services that record what a maintenance operation posts, how long it waits and whom it signals; the
// process table is handed in, and only processes the test started are really signalled.

#include "maintenance_services.h"
#include "temp_dir.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bw::test {

// Whether anything (a link included) is at `path`.
inline bool pathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// writeFile, making the folders on the way first.
inline void putFile(const std::string& path, const std::string& content) {
    makeDirs(path.substr(0, path.rfind('/')));
    writeFile(path, content);
}

struct RecordingServices {
    struct Post {
        std::string name;
        std::optional<std::string> object;
        bool watchedExisted = false; // whether `watched` was still there when it was posted
    };
    std::vector<Post> posts;
    std::vector<pid_t> signalled;
    std::vector<pid_t> ours; // the only pids really sent the signal
    std::chrono::milliseconds slept{0};
    std::string watched;
    std::vector<ProcessEntry> table;
    bool realTable = false;
    std::optional<std::string> package;
    std::map<pid_t, std::string> programs; // what executableOf answers

    MaintenanceServices services() {
        MaintenanceServices s;
        s.post = [this](const std::string& name, const std::optional<std::string>& object) {
            posts.push_back({name, object, !watched.empty() && access(watched.c_str(), F_OK) == 0});
        };
        s.sleep = [this](std::chrono::milliseconds d) { slept += d; };
        s.processTable = [this] { return realTable ? readProcessTable() : table; };
        s.sendSignal = [this](pid_t pid, int signal) {
            signalled.push_back(pid);
            if (std::find(ours.begin(), ours.end(), pid) != ours.end())
                return kill(pid, signal) == 0;
            return true;
        };
        s.packageOwning = [this](const std::string&) { return package; };
        s.executableOf = [this](pid_t pid) { return programs.count(pid) ? programs.at(pid) : std::string(); };
        return s;
    }
    std::vector<std::string> postNames() const {
        std::vector<std::string> names;
        for (const auto& post : posts)
            names.push_back(post.name);
        return names;
    }
};

} // namespace bw::test
