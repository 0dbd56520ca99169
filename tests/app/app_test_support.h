#pragma once
// What the main application's offscreen tests share: a QApplication, a temporary home with the program's
// folders, a private system bus, and a context whose process table, launcher and volumes are the test's.

#include "AppContext.h"
#include "bus/notification_bus.h"
#include "private_bus.h"
#include "secret_service.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QApplication;

namespace bw {
class Binwarden_2AppDelegate;
class MainController;
} // namespace bw

namespace bw::test {

// One Secret Service for the whole test program (GLib keeps its session-bus connection to the end). A test
// program that opens the window registers it with ::testing::AddGlobalTestEnvironment.
class SecretServiceEnvironment : public ::testing::Environment {
public:
    void SetUp() override { service = std::make_unique<PrivateSecretService>(); }
    void TearDown() override { service.reset(); }
    static inline std::unique_ptr<PrivateSecretService> service;
};

QApplication& application();
// Processes Qt events for the given time.
void pumpEvents(int milliseconds);
// Processes Qt events until `condition` holds or the time is up; answers the condition.
bool pumpUntil(const std::function<bool()>& condition, int milliseconds);

class AppFixture {
public:
    AppFixture();
    ~AppFixture();

    TempDir home{"bw2apphome"};
    PrivateBus systemBus;
    std::unique_ptr<NotificationBus> bus;
    std::unique_ptr<AppContext> context;
    // What the context's services see and record.
    std::vector<ProcessRecord> processes;
    // Launches the services were asked for; the launch thread records them too, hence the lock.
    std::vector<std::vector<std::string>> launched() const;
    void forgetLaunches();
    std::vector<std::string> volumes{"/"};
    // The homes the uninstall looks into (the test's own home only, unless a test adds one).
    std::vector<std::string> userHomes;
    // The pids the maintenance services were asked to signal (nothing is really signalled).
    std::vector<pid_t> signalled() const;
    // The pauses the maintenance services were asked for, added up (none is really waited).
    std::chrono::milliseconds slept() const;

    std::string settingsFile() const { return context->store.path(); }
    // A folder standing for a mounted volume that qualifies.
    std::string addVolume(const std::string& name);

private:
    mutable std::mutex m_launchesMutex;
    std::vector<std::vector<std::string>> m_launches;
    std::vector<pid_t> m_signalled;
    std::chrono::milliseconds m_slept{0};
};

// The fixture with the window: start-up as the program runs it.
class WindowFixture : public AppFixture {
public:
    WindowFixture();
    ~WindowFixture();

    MainController& launch();

    std::unique_ptr<Binwarden_2AppDelegate> delegate;
    std::unique_ptr<MainController> controller;
};

} // namespace bw::test
