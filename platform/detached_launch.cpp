#include "detached_launch.h"

#include "files/log_line.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

// 0, or a negative errno (posix_spawn answers its failure as a positive one).
int spawn(const std::string& executable, const std::vector<std::string>& args, bool newSession, pid_t& pid) {
    SpawnAttributes spawnAttributes;
    if (!spawnAttributes.ok())
        return -ENOMEM;
    if (newSession)
        posix_spawnattr_setflags(spawnAttributes.attr(), POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(spawnAttributes.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return -posix_spawn(&pid, executable.c_str(), spawnAttributes.actions(), spawnAttributes.attr(), argv.data(),
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
            *error = std::string("cannot start ") + executable + ": " + std::strerror(-rc);
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
        bw::logLine(LOG_ERR, "launchDetached: cannot start a thread to reap %s: %s", executable.c_str(), e.what());
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

namespace {

// Ends a pkexec that is still waiting: asked first, forced after half a second. pkexec keeps our real
// uid while its dialog is up, so we may signal it. Whatever cannot be reaped in time is left to a
// thread that only waits for it.
void endChild(pid_t pid, const std::string& what) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 25; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    for (int i = 0; i < 25; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    try {
        std::thread([pid] { waitForExit(pid); }).detach();
    } catch (const std::system_error& e) {
        bw::logLine(LOG_ERR, "runAdminRepair: cannot start a thread to reap %s: %s", what.c_str(), e.what());
    }
}

} // namespace

RepairOutcome runAdminRepair(const std::string& pkexec, const std::string& launcher, const RepairWait& wait,
                             int* status) {
    if (status)
        *status = -1;
    pid_t pid = 0;
    int rc = spawn(pkexec, {pkexec, launcher, "repair"}, false, pid);
    if (rc != 0) {
        bw::logLine(LOG_ERR, "repairLauncherWithAdminRights: cannot start %s: %s", pkexec.c_str(), std::strerror(-rc));
        return RepairOutcome::AuthorizationUnavailable;
    }
    auto end = std::chrono::steady_clock::now() + wait.limit;
    int raw = 0;
    for (;;) {
        pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR) {
            bw::logLine(LOG_ERR, "repairLauncherWithAdminRights: lost %s: %s", pkexec.c_str(), std::strerror(errno));
            return RepairOutcome::Failed;
        }
        bool cancelled = wait.cancelled && wait.cancelled->load();
        if (cancelled || std::chrono::steady_clock::now() >= end) {
            if (!cancelled)
                bw::logLine(
                    LOG_NOTICE, "repairLauncherWithAdminRights: no answer from %s within %lld s; taken as refused",
                    pkexec.c_str(),
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(wait.limit).count()));
            endChild(pid, pkexec);
            return RepairOutcome::Refused;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
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

RepairOutcome repairLauncherWithAdminRights(const std::string& launcher, int* status, const RepairWait& wait) {
    if (status)
        *status = -1;
    std::string pkexec = pkexecPath();
    if (pkexec.empty())
        return RepairOutcome::AuthorizationUnavailable;
    return runAdminRepair(pkexec, launcher, wait, status);
}

} // namespace bw
