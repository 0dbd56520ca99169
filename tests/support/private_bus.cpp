#include "private_bus.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace bw::test {

namespace {

constexpr char kVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";

std::string defaultConfigFile() {
#ifdef BW_PRIVATE_BUS_CONF
    return BW_PRIVATE_BUS_CONF;
#else
    return sourceDir() + "/tests/support/private_bus.conf";
#endif
}

std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (std::getline(in, line) && !in.eof())
        return line;
    // Only a complete line counts: the daemon may still be writing it.
    return {};
}

} // namespace

PrivateBus::PrivateBus(const std::string& configFile) {
    if (const char* previous = std::getenv(kVariable))
        m_previousAddress = previous;

    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/bw2bus.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "PrivateBus: mkdtemp failed";
        return;
    }
    m_dir = pattern;
    // Throw-away unprivileged users must reach the socket inside.
    chmod(m_dir.c_str(), 0755);

    const std::string socketPath = m_dir + "/bus";
    const std::string addressFile = m_dir + "/address";
    const std::string config = "--config-file=" + (configFile.empty() ? defaultConfigFile() : configFile);
    const std::string listen = "--address=unix:path=" + socketPath;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 3, addressFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const char* argv[] = {"dbus-daemon", config.c_str(), listen.c_str(),      "--nofork",
                          "--nopidfile", "--nosyslog",   "--print-address=3", nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "PrivateBus: cannot start dbus-daemon: " << std::strerror(rc);
        return;
    }
    m_pid = pid;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_address.empty()) {
        m_address = firstLine(addressFile);
        if (!m_address.empty())
            break;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            ADD_FAILURE() << "PrivateBus: dbus-daemon exited at start (status " << status << ")";
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            ADD_FAILURE() << "PrivateBus: dbus-daemon did not report its address";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    chmod(socketPath.c_str(), 0666);
    setenv(kVariable, m_address.c_str(), 1);
}

PrivateBus::~PrivateBus() {
    stop();
    if (m_previousAddress)
        setenv(kVariable, m_previousAddress->c_str(), 1);
    else
        unsetenv(kVariable);
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

void PrivateBus::stop() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

} // namespace bw::test
