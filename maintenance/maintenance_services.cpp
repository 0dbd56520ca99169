#include "maintenance_services.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace bw {

namespace {

// The first package named by `dpkg-query -S path`: lines "pkg[, pkg…]: path"; diversion notes skipped.
std::optional<std::string> runDpkgQuery(const std::string& path) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"dpkg-query", "-S", path.c_str(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "dpkg-query", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string output;
    if (rc == 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0 && output.size() < 65536)
            output.append(buffer, static_cast<std::size_t>(n));
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            output.clear();
    }
    close(pipeFds[0]);
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        std::string line = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? output.size() : end + 1;
        if (line.rfind("diversion ", 0) == 0)
            continue;
        auto colon = line.find(": ");
        if (colon == std::string::npos || colon == 0)
            continue;
        std::string packages = line.substr(0, colon);
        auto comma = packages.find(',');
        return comma == std::string::npos ? packages : packages.substr(0, comma);
    }
    return std::nullopt;
}

} // namespace

MaintenanceServices MaintenanceServices::system() {
    MaintenanceServices services;
    services.sleep = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
    services.processTable = [] { return readProcessTable(); };
    services.sendSignal = [](pid_t pid, int signal) { return kill(pid, signal) == 0; };
    services.packageOwning = runDpkgQuery;
    services.executableOf = [](pid_t pid) {
        char buffer[4096];
        std::string link = "/proc/" + std::to_string(pid) + "/exe";
        ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    };
    return services;
}

bool commandNameIs(const std::string& comm, const std::string& name) {
    return !comm.empty() && comm == name.substr(0, kProcessNameMax);
}

int terminateProcessesNamed(const std::vector<std::string>& names, uid_t uid, const MaintenanceServices& services) {
    int signalled = 0;
    pid_t self = getpid();
    for (const auto& process : services.processTable()) {
        if (process.realUid != uid || process.pid == self)
            continue;
        for (const auto& name : names) {
            if (commandNameIs(process.comm, name)) {
                if (services.sendSignal(process.pid, SIGTERM))
                    ++signalled;
                break;
            }
        }
    }
    return signalled;
}

int signalProcessesInside(const std::vector<std::string>& folders, uid_t uid, int signal,
                          const MaintenanceServices& services) {
    if (!services.executableOf)
        return 0;
    int signalled = 0;
    pid_t self = getpid();
    for (const auto& process : services.processTable()) {
        if (process.realUid != uid || process.pid == self)
            continue;
        std::string program = services.executableOf(process.pid);
        for (const auto& folder : folders) {
            if (!folder.empty() && program.rfind(folder + "/", 0) == 0) {
                if (services.sendSignal(process.pid, signal))
                    ++signalled;
                break;
            }
        }
    }
    return signalled;
}

} // namespace bw
