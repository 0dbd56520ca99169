// The agent's tray item as a StatusNotifier panel sees it: the real agent on a private X server and a
// private session bus, with a test watcher and host in this process. The panel may come up after the
// agent (as at login) or restart; either way the item registers, and its exported menu carries the
// information block as plain items.

#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "private_bus.h"
#include "settings/settings.h"
#include "status_notifier_host.h"
#include "temp_dir.h"
#include "throwaway_user.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

using namespace bw;
using bw::test::TempDir;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "menu_tray_tests";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);
    return *app;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

void pump(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
}

// A private X server (Xvfb) picked by display number on its own, stopped by its pid.
class PrivateDisplay {
public:
    PrivateDisplay() {
        if (access("/usr/bin/Xvfb", X_OK) != 0)
            return;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 3); // dup2 clears close-on-exec on the copy
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-ac", "-screen", "0", "800x600x24",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (!number.empty())
            m_display = ":" + number;
    }
    ~PrivateDisplay() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    bool ok() const { return !m_display.empty(); }
    const std::string& display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

void chownTree(const std::string& root, uid_t uid, gid_t gid) {
    ASSERT_EQ(lchown(root.c_str(), uid, gid), 0);
    for (auto& entry : fs::recursive_directory_iterator(root))
        ASSERT_EQ(lchown(entry.path().c_str(), uid, gid), 0);
}

} // namespace

TEST(TrayHost, TheItemReachesAHostThatComesBeforeOrAfterTheAgentAndShowsTheInformationBlock) {
    application();
    std::string agentBuilt = bw::test::buildDir() + "/bin/binwarden2-menu";
    if (!fs::exists(agentBuilt))
        GTEST_SKIP() << "needs " << agentBuilt;
    struct Case {
        const char* what;
        bool hostFirst;
    };
    const Case cases[] = {{"the panel starts after the agent", false}, {"the panel is already there", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PrivateDisplay display;
        if (!display.ok())
            GTEST_SKIP() << "needs Xvfb (package xvfb) for a private X server";
        bw::test::PrivateBus session;
        ASSERT_TRUE(session.ok());
        std::string sessionAddress = session.address();
        bw::test::PrivateBus system; // DBUS_SYSTEM_BUS_ADDRESS now points here
        ASSERT_TRUE(system.ok());

        // The agent runs as a user of its own when we are root, from a copy anyone can run.
        TempDir homes("bw2tray");
        ASSERT_EQ(chmod(homes.path().c_str(), 0755), 0);
        fs::create_directories(homes / "stage/bin");
        fs::copy_file(agentBuilt, homes / "stage/bin/binwarden2-menu");
        ASSERT_EQ(chmod((homes / "stage/bin/binwarden2-menu").c_str(), 0755), 0);
        std::string home = homes / "user";
        std::unique_ptr<bw::test::ThrowawayUser> user;
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (bw::test::isRoot()) {
            user = std::make_unique<bw::test::ThrowawayUser>(home);
            ASSERT_TRUE(user->valid());
            uid = user->uid();
            gid = user->gid();
        }
        fs::create_directories(home + "/.config");
        ASSERT_TRUE(createSettingsFileIfMissing(home + "/.config/com.kor.Binwarden-2.plist")); // protects "/"
        bw::test::makeDirs(home + "/.Binwarden2Cache/batch");
        bw::test::writeFile(home + "/.Binwarden2Cache/batch/ITEM", std::string(1500, 'x'));
        chownTree(home, uid, gid);
        ASSERT_EQ(chmod(home.c_str(), 0700), 0);

        QDBusConnection panel = QDBusConnection::connectToBus(QString::fromStdString(sessionAddress),
                                                              QString("panel-") + (c.hostFirst ? "first" : "later"));
        ASSERT_TRUE(panel.isConnected());
        bw::test::StatusNotifierWatcher watcher(panel);
        if (c.hostFirst) {
            ASSERT_TRUE(watcher.start());
            watcher.registerHost();
        }

        std::vector<std::string> env = {"HOME=" + home,
                                        "PATH=/usr/bin:/bin",
                                        "LANG=C.UTF-8",
                                        "DISPLAY=" + display.display(),
                                        "QT_QPA_PLATFORM=xcb",
                                        "XDG_RUNTIME_DIR=" + home,
                                        "DBUS_SESSION_BUS_ADDRESS=" + sessionAddress,
                                        "DBUS_SYSTEM_BUS_ADDRESS=" + system.address()};
        std::string log = homes / "agent.log";
        pid_t agent = bw::test::spawnAs(uid, gid, {homes / "stage/bin/binwarden2-menu"}, env, log);
        ASSERT_GT(agent, 0);
        struct Stop {
            pid_t pid;
            ~Stop() {
                kill(pid, SIGTERM);
                for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) != pid; ++i)
                    std::this_thread::sleep_for(20ms);
                if (waitpid(pid, nullptr, WNOHANG) == 0) {
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                }
            }
        } stop{agent};

        if (!c.hostFirst) {
            // The agent is up (its login item is written) and has looked for a tray; then the panel comes.
            ASSERT_TRUE(waitUntil([&] { return fs::exists(home + "/.config/autostart/binwarden2-menu.desktop"); }, 15s))
                << bw::test::readFile(log);
            pump(1500ms);
            ASSERT_TRUE(watcher.start());
            pump(300ms);
            watcher.registerHost();
        }
        ASSERT_TRUE(waitUntil([&] { return !watcher.registeredItems().isEmpty(); }, 15s))
            << "the agent's item never registered\n"
            << bw::test::readFile(log);
        QString item = watcher.registeredItems().first();

        // The information block shows as three plain, disabled items once the size is measured.
        const QString title = "Binwarden 2";
        QList<bw::test::ExportedMenuEntry> shown;
        auto readShown = [&] {
            shown.clear();
            auto menu = bw::test::readExportedMenu(panel, item);
            if (!menu)
                return false;
            for (const auto& entry : *menu) {
                if (entry.visible && !entry.separator && entry.depth == 0)
                    shown.append(entry);
            }
            return shown.size() >= 3 && shown[shown.size() - 3].label == title &&
                   shown.last().label.startsWith("Protected disks") && shown[shown.size() - 2].label.endsWith("KB");
        };
        QString seen;
        bool complete = waitUntil(readShown, 15s);
        for (const auto& entry : shown)
            seen += entry.label + (entry.enabled ? "" : " (disabled)") + "\n";
        ASSERT_TRUE(complete) << seen.toStdString() << bw::test::readFile(log);
        int n = static_cast<int>(shown.size());
        EXPECT_EQ(shown[n - 2].label, "Cache size: 1.6 KB") << seen.toStdString();
        EXPECT_EQ(shown[n - 1].label, "Protected disks: 1") << seen.toStdString();
        for (int i = n - 3; i < n; ++i)
            EXPECT_FALSE(shown[i].enabled) << shown[i].label.toStdString();
        // Nothing the host cannot show is left in the menu (the drawn block stays hidden there).
        for (const auto& entry : shown)
            EXPECT_FALSE(entry.label.isEmpty()) << seen.toStdString();

        // The panel restarts (a new watcher takes the name): the item registers with it again.
        panel.unregisterService("org.kde.StatusNotifierWatcher");
        panel.unregisterObject("/StatusNotifierWatcher");
        pump(300ms);
        bw::test::StatusNotifierWatcher restarted(panel);
        ASSERT_TRUE(restarted.start());
        restarted.registerHost();
        EXPECT_TRUE(waitUntil([&] { return !restarted.registeredItems().isEmpty(); }, 15s))
            << "the item did not come back to a restarted panel\n"
            << bw::test::readFile(log);

        // The user hides the item in the settings and shows it again: it comes back to the panel.
        NotificationBus poster;
        auto postMenuSetting = [&](bool visible) {
            Settings settings = Settings::defaults();
            settings.menu = visible;
            PlistPtr info = settings.toPlist();
            poster.post(notif::kSettingsUpdated, std::nullopt, info.get(), true);
        };
        int registrations = restarted.registrations();
        postMenuSetting(false);
        pump(1500ms);
        postMenuSetting(true);
        EXPECT_TRUE(waitUntil([&] { return restarted.registrations() > registrations; }, 15s))
            << "the item did not come back after it was shown again\n"
            << bw::test::readFile(log);
        panel.unregisterService("org.kde.StatusNotifierWatcher");
        panel.unregisterObject("/StatusNotifierWatcher");
        QDBusConnection::disconnectFromBus(panel.name());
    }
}
