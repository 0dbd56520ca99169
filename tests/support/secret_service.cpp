#include "secret_service.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace bw::test {

namespace {

void stopProcess(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
}

// Starts a program whose standard input is `input` (or /dev/null) and whose output goes to `log` (or
// stays), and which gets SIGTERM when this test program ends, even by a crash.
pid_t spawnTied(const std::vector<std::string>& argv, const std::vector<std::string>* env, int input,
                const std::string& log, int extraFd = -1) {
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (env) {
        for (const auto& e : *env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    int in = input >= 0 ? input : open("/dev/null", O_RDONLY);
    dup2(in, 0);
    if (!log.empty()) {
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(out, 2);
    }
    if (extraFd == 3)
        fcntl(3, F_SETFD, 0);
    else if (extraFd >= 0)
        dup2(extraFd, 3);
    execvpe(args[0], args.data(), env ? envp.data() : environ);
    _exit(127);
}

std::string busConfig() {
#ifdef BW_PRIVATE_BUS_CONF
    return BW_PRIVATE_BUS_CONF;
#else
    return sourceDir() + "/tests/support/private_bus.conf";
#endif
}

} // namespace

PrivateSecretService::PrivateSecretService(const std::string& unlockPassword) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/bw2keyring.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        m_error = "mkdtemp failed";
        return;
    }
    m_dir = pattern;
    if (!startBus() || !startKeyring(unlockPassword))
        return;
    setenv("DBUS_SESSION_BUS_ADDRESS", m_address.c_str(), 1);
    m_ok = true;
}

PrivateSecretService::~PrivateSecretService() {
    stopProcess(m_keyringPid);
    stopProcess(m_busPid);
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

bool PrivateSecretService::startBus() {
    const std::string addressFile = m_dir + "/address";
    int address = open(addressFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    m_busPid =
        spawnTied({"dbus-daemon", "--config-file=" + busConfig(), "--address=unix:path=" + m_dir + "/session_bus",
                   "--nofork", "--nopidfile", "--nosyslog", "--print-address=3"},
                  nullptr, -1, m_dir + "/bus.log", address);
    close(address);
    if (m_busPid < 0) {
        m_error = "cannot start dbus-daemon";
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(addressFile);
        std::string line;
        if (std::getline(in, line) && !in.eof() && !line.empty()) {
            m_address = line;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_error = "the session bus did not report its address";
    return false;
}

bool PrivateSecretService::startKeyring(const std::string& password) {
    for (const char* sub : {"/home", "/data", "/run", "/config"})
        mkdir((m_dir + sub).c_str(), 0700);
    std::vector<std::string> env = {"HOME=" + m_dir + "/home",
                                    "XDG_DATA_HOME=" + m_dir + "/data",
                                    "XDG_RUNTIME_DIR=" + m_dir + "/run",
                                    "XDG_CONFIG_HOME=" + m_dir + "/config",
                                    "DBUS_SESSION_BUS_ADDRESS=" + m_address,
                                    "PATH=/usr/bin:/bin"};
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        m_error = "pipe failed";
        return false;
    }
    m_keyringPid = spawnTied({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"}, &env,
                             input[0], m_dir + "/keyring.log");
    close(input[0]);
    if (m_keyringPid < 0) {
        close(input[1]);
        m_error = "cannot start gnome-keyring-daemon";
        return false;
    }
    // The unlock password is read up to the end of its input.
    ssize_t written = write(input[1], password.data(), password.size());
    close(input[1]);
    if (written != static_cast<ssize_t>(password.size())) {
        m_error = "cannot hand the unlock password over";
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (secretsNameOwned())
            return true;
        int status = 0;
        if (waitpid(m_keyringPid, &status, WNOHANG) == m_keyringPid) {
            m_keyringPid = -1;
            m_error = "gnome-keyring-daemon ended at start: " + readFile(m_dir + "/keyring.log");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    m_error = "gnome-keyring-daemon did not take org.freedesktop.secrets: " + readFile(m_dir + "/keyring.log");
    return false;
}

bool PrivateSecretService::secretsNameOwned() const {
    std::string command = "dbus-send --bus='" + m_address +
                          "' --dest=org.freedesktop.DBus --print-reply /org/freedesktop/DBus "
                          "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return false;
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    pclose(pipe);
    return output.find("boolean true") != std::string::npos;
}

} // namespace bw::test
