#include "daemon_runner.h"

#include "files/unique_fd.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace bw::test {

using Clock = std::chrono::steady_clock;

bool setImmutable(const std::string& path, bool on) {
    int flags = 0;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

DaemonProcess::~DaemonProcess() {
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

DaemonProcess::DaemonProcess(DaemonProcess&& other) noexcept : m_pid(other.m_pid), m_reaped(other.m_reaped) {
    other.m_pid = -1;
}

DaemonProcess& DaemonProcess::operator=(DaemonProcess&& other) noexcept {
    if (this != &other) {
        this->~DaemonProcess();
        m_pid = other.m_pid;
        m_reaped = other.m_reaped;
        other.m_pid = -1;
    }
    return *this;
}

DaemonProcess DaemonProcess::start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                                   const std::string& stderrPath, std::optional<uid_t> runAsUid) {
    std::vector<std::string> argStrings{daemonExecutable()};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        std::size_t eq = entry.find('=');
        if (eq != std::string::npos)
            merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (auto& [k, v] : env)
        merged[k] = v;
    std::vector<std::string> envStrings;
    for (auto& [k, v] : merged)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    DaemonProcess process;
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 2);
            ::close(fd);
        }
        if (runAsUid) {
            // As the set-uid helper leaves it: every group id the user's, the effective uid root.
            struct passwd* pw = ::getpwuid(*runAsUid);
            const gid_t gid = pw ? pw->pw_gid : static_cast<gid_t>(*runAsUid);
            if (::setgroups(1, &gid) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(*runAsUid, 0, 0) != 0)
                ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    process.m_pid = pid;
    return process;
}

bool DaemonProcess::running() {
    if (m_pid <= 0 || m_reaped)
        return false;
    int status = 0;
    pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_reaped = true;
        return false;
    }
    return true;
}

std::optional<int> DaemonProcess::waitExit(double timeoutSeconds) {
    if (m_pid <= 0)
        return std::nullopt;
    auto end = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (Clock::now() < end) {
        int status = 0;
        pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_reaped = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

void DaemonProcess::signal(int sig) {
    if (m_pid > 0 && !m_reaped)
        ::kill(m_pid, sig);
}

BusRecorder::BusRecorder() {
    m_bus.observeAll([this](const Notification& n) {
        Seen seen{n.name, n.object, {}, {}, n.userInfo != nullptr, n.senderUid};
        if (n.userInfo && plist_get_node_type(n.userInfo.get()) == PLIST_DICT) {
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(n.userInfo.get(), &it);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(n.userInfo.get(), it, &key, &value);
                if (!key)
                    break;
                if (plist_get_node_type(value) == PLIST_STRING) {
                    char* text = nullptr;
                    plist_get_string_val(value, &text);
                    seen.stringInfo[key] = text ? text : "";
                    free(text);
                } else if (plist_get_node_type(value) == PLIST_UINT) {
                    uint64_t number = 0;
                    plist_get_uint_val(value, &number);
                    seen.numberInfo[key] = static_cast<long long>(number);
                } else if (plist_get_node_type(value) == PLIST_REAL) {
                    double number = 0;
                    plist_get_real_val(value, &number);
                    seen.numberInfo[key] = static_cast<long long>(number);
                }
                free(key);
            }
            free(it);
        }
        m_seen.push_back(std::move(seen));
    });
}

void BusRecorder::pump(double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        int fd = m_bus.fd();
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            m_bus.process();
            continue;
        }
        struct pollfd p {
            fd, static_cast<short>(m_bus.events()), 0
        };
        ::poll(&p, 1, 20);
        m_bus.process();
    }
}

bool BusRecorder::waitForCount(const std::string& name, std::size_t count, double timeoutSeconds) {
    auto end = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        std::size_t seen = 0;
        for (const Seen& s : m_seen)
            seen += s.name == name;
        if (seen >= count)
            return true;
        if (Clock::now() >= end)
            return false;
        pump(0.02);
    }
}

std::vector<BusRecorder::Seen> BusRecorder::named(const std::string& name) const {
    std::vector<Seen> out;
    for (const Seen& s : m_seen)
        if (s.name == name)
            out.push_back(s);
    return out;
}

void BusRecorder::post(const std::string& name, const std::optional<std::string>& object) {
    m_bus.post(name, object, nullptr, false);
    pump(0.05);
}

bool eventually(const std::function<bool()>& condition, double timeoutSeconds) {
    auto end = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string daemonExecutable() {
    return buildDir() + "/libexec/binwarden2/bw2daemon";
}

} // namespace bw::test
