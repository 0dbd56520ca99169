#include "agent_test_support.h"

#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace bw::test {

QApplication& agentApplication(const char* name) {
    static int argc = 1;
    static std::string program = name;
    static char* argv[] = {program.data(), nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

bool waitUntil(const std::function<bool()>& condition, int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

void enterHome(const TempDir& home) {
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    std::filesystem::create_directories(home / ".config");
}

void leaveHome() {
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
}

} // namespace bw::test
