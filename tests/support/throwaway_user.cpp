#include "throwaway_user.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace bw::test {

namespace {

// Runs a system tool quietly; useradd and userdel refuse while another process holds the
// password-file lock, so tests running side by side retry a little.
bool runTool(const std::vector<std::string>& argv) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        int status = runAs(0, 0, argv, {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, "/dev/null");
        if (status == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

} // namespace

bool isRoot() {
    return ::geteuid() == 0;
}

ThrowawayUser::ThrowawayUser(const std::string& home) {
    if (!isRoot())
        return;
    std::random_device rd;
    m_name = "bw2t" + std::to_string(rd() % 100000000u);
    if (!runTool({"/usr/sbin/useradd", "-M", "-d", home, "-s", "/usr/sbin/nologin", m_name}))
        return;
    struct passwd* pw = ::getpwnam(m_name.c_str());
    if (!pw)
        return;
    m_uid = pw->pw_uid;
    m_gid = pw->pw_gid;
    m_valid = true;
}

ThrowawayUser::~ThrowawayUser() {
    if (m_valid)
        runTool({"/usr/sbin/userdel", m_name});
}

int runAs(uid_t uid, gid_t gid, const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const std::string& stderrPath) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (!stderrPath.empty()) {
            int fd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0)
                ::dup2(fd, 2);
        }
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(125);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t spawnAs(uid_t uid, gid_t gid, const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& logPath) {
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0)
        ::dup2(null, STDIN_FILENO);
    if (uid != ::getuid() && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
        ::_exit(126);
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
}

bool chownTree(const std::string& path, uid_t uid, gid_t gid, std::string* failed) {
    namespace fs = std::filesystem;
    auto give = [&](const std::string& item) {
        if (::lchown(item.c_str(), uid, gid) == 0)
            return true;
        if (failed)
            *failed = item;
        return false;
    };
    if (!give(path))
        return false;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(path, ec)))
        return true;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!give(it->path().string()))
            return false;
    }
    return !ec;
}

} // namespace bw::test
