#include "detached_launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace bw {

namespace {

class SpawnAttributes {
public:
    SpawnAttributes() { m_ok = posix_spawnattr_init(&m_attr) == 0 && posix_spawn_file_actions_init(&m_actions) == 0; }
    ~SpawnAttributes() {
        posix_spawnattr_destroy(&m_attr);
        posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return m_ok; }
    posix_spawnattr_t* attr() { return &m_attr; }
    posix_spawn_file_actions_t* actions() { return &m_actions; }

private:
    posix_spawnattr_t m_attr{};
    posix_spawn_file_actions_t m_actions{};
    bool m_ok = false;
};

int spawn(const std::string& executable, const std::vector<std::string>& args, bool newSession, pid_t& pid) {
    SpawnAttributes spawnAttributes;
    if (!spawnAttributes.ok())
        return ENOMEM;
    if (newSession)
        posix_spawnattr_setflags(spawnAttributes.attr(), POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(spawnAttributes.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return posix_spawn(&pid, executable.c_str(), spawnAttributes.actions(), spawnAttributes.attr(), argv.data(),
                       environ);
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

bool launchDetached(const std::string& executable, const std::vector<std::string>& args, std::string* error,
                    std::function<void(int status)> onExit) {
    pid_t pid = 0;
    int rc = spawn(executable, args, true, pid);
    if (rc != 0) {
        if (error)
            *error = std::string("cannot start ") + executable + ": " + std::strerror(rc);
        return false;
    }
    try {
        std::thread([pid, onExit = std::move(onExit)] {
            int status = waitForExit(pid);
            if (onExit)
                onExit(status);
        }).detach();
    } catch (const std::system_error& e) {
        // The program runs; without a reaper it stays a zombie until we exit, which is better than failing.
        syslog(LOG_ERR, "launchDetached: cannot start a thread to reap %s: %s", executable.c_str(), e.what());
    }
    return true;
}

std::string pkexecPath() {
    for (const char* candidate : {"/usr/bin/pkexec", "/bin/pkexec", "/usr/local/bin/pkexec"}) {
        if (access(candidate, X_OK) == 0)
            return candidate;
    }
    return {};
}

RepairOutcome repairLauncherWithAdminRights(const std::string& launcher, int* status) {
    if (status)
        *status = -1;
    std::string pkexec = pkexecPath();
    if (pkexec.empty())
        return RepairOutcome::AuthorizationUnavailable;
    pid_t pid = 0;
    int rc = spawn(pkexec, {pkexec, launcher, "repair"}, false, pid);
    if (rc != 0) {
        syslog(LOG_ERR, "repairLauncherWithAdminRights: cannot start %s: %s", pkexec.c_str(), std::strerror(rc));
        return RepairOutcome::AuthorizationUnavailable;
    }
    int exitStatus = waitForExit(pid);
    if (status)
        *status = exitStatus;
    switch (exitStatus) {
    case 0:
        return RepairOutcome::Done;
    case 126:
        return RepairOutcome::Dismissed;
    case 127:
        return RepairOutcome::Refused;
    default:
        return RepairOutcome::Failed;
    }
}

} // namespace bw
