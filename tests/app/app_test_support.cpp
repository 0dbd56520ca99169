#include "app_test_support.h"

#include "Binwarden_2AppDelegate.h"
#include "MainController.h"

#include <QApplication>
#include <QMainWindow>
#include <QThread>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <random>

namespace bw::test {

QApplication& application() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void pumpEvents(int milliseconds) {
    pumpUntil([] { return false; }, milliseconds);
}

bool pumpUntil(const std::function<bool()>& condition, int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (condition())
            return true;
        QThread::msleep(5);
    }
    return condition();
}

AppFixture::AppFixture() {
    application();
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    bus = std::make_unique<NotificationBus>();

    AppServices services;
    services.processInfo = [this](const std::string& name) -> std::optional<std::vector<ProcessRecord>> {
        std::vector<ProcessRecord> found;
        for (const auto& p : processes) {
            if (p.name == name)
                found.push_back(p);
        }
        if (found.empty())
            return std::nullopt;
        return found;
    };
    services.launch = [this](const std::string&, const std::vector<std::string>& args, std::string*) {
        std::lock_guard lock(m_launchesMutex);
        m_launches.push_back(args);
        return true;
    };
    services.mountedVolumes = [this] { return volumes; };
    services.volumeChecks = VolumeChecks::system();
    services.volumeChecks.qualifies = [](const std::string&) { return true; };
    services.installRoot = home / "install";
    // The maintenance operations see the test's process table and homes, and signal and wait for nothing.
    userHomes = {home.path()};
    services.maintenance.sleep = [this](std::chrono::milliseconds duration) {
        std::lock_guard lock(m_launchesMutex);
        m_slept += duration;
    };
    services.maintenance.processTable = [this] {
        std::vector<ProcessEntry> table;
        for (const auto& p : processes)
            table.push_back({p.pid, p.uid, p.name});
        return table;
    };
    services.maintenance.sendSignal = [this](pid_t pid, int) {
        std::lock_guard lock(m_launchesMutex);
        m_signalled.push_back(pid);
        return true;
    };
    services.maintenance.executableOf = [](pid_t) { return std::string(); };
    services.maintenance.packageOwning = [](const std::string&) { return std::optional<std::string>(); };
    services.userHomes = [this] { return userHomes; };

    // Each test has its own keychain account, so no test sees another one's password.
    std::random_device random;
    std::string account = "bw2test-" + std::to_string(random()) + "-" + std::to_string(getpid());
    context.reset(new AppContext{*bus, DefaultsStore(home / ".config/com.kor.Binwarden-2.plist"),
                                 AccessKeychain(account), std::move(services), getuid(), home.path(),
                                 home / ".local/share/Binwarden 2"});
}

AppFixture::~AppFixture() {
    context->keychain.remove();
}

std::vector<std::vector<std::string>> AppFixture::launched() const {
    std::lock_guard lock(m_launchesMutex);
    return m_launches;
}

std::vector<pid_t> AppFixture::signalled() const {
    std::lock_guard lock(m_launchesMutex);
    return m_signalled;
}

std::chrono::milliseconds AppFixture::slept() const {
    std::lock_guard lock(m_launchesMutex);
    return m_slept;
}

void AppFixture::forgetLaunches() {
    std::lock_guard lock(m_launchesMutex);
    m_launches.clear();
}

std::string AppFixture::addVolume(const std::string& name) {
    std::string path = home / ("media/" + name);
    makeDirs(path);
    volumes.push_back(path);
    return path;
}

WindowFixture::WindowFixture() = default;

WindowFixture::~WindowFixture() {
    controller.reset();
    delegate.reset();
}

MainController& WindowFixture::launch() {
    delegate = std::make_unique<Binwarden_2AppDelegate>(*context);
    controller = std::make_unique<MainController>(*context);
    controller->awakeFromNib();
    delegate->setWindow(controller->window());
    delegate->applicationDidFinishLaunching();
    pumpEvents(50);
    return *controller;
}

} // namespace bw::test
