// bw2daemon: protects one trash folder. Started by the helper (effective uid 0, real ids the user's), or by
// hand and in tests with no extra privileges.

#include "files/log_line.h"
#include "store/cache_paths.h"
#include "daemon.h"
#include "fd_utils.h"
#include "launch_validation.h"
#include "bus/notification_bus.h"
#include "privilege_drop.h"
#include "volume_cache_folder.h"

#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <syslog.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct EventUnref {
    void operator()(sd_event* event) const { sd_event_unref(event); }
};

std::string passwordHome(uid_t uid) {
    struct passwd pwd;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &pwd, buffer, sizeof buffer, &found) != 0 || !found || !found->pw_dir)
        return {};
    return found->pw_dir;
}

int onSignal(sd_event_source*, const struct signalfd_siginfo*, void* userdata) {
    static_cast<bw::Daemon*>(userdata)->quitOnSignal();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr, "binwardenDaemon: Wrong number of args!(%d)\n", argc);
        return 0;
    }
    // Started through the set-uid helper: nothing the caller chose is trusted until checked.
    const bool privileged = ::geteuid() != ::getuid();
    ::openlog("bw2daemon", LOG_PID | (privileged ? 0 : LOG_PERROR), LOG_DAEMON);

    const std::vector<std::string> args(argv + 1, argv + 9);
    std::string home;
    if (privileged) {
        std::string reason;
        if (!bw::validateDaemonArguments(args, ::getuid(), &reason)) {
            bw::logLine(LOG_ERR, "launch refused: %s", reason.c_str());
            return 0;
        }
        home = passwordHome(::getuid());
        if (home.empty()) {
            bw::logLine(LOG_ERR, "launch refused: user %u has no home folder", static_cast<unsigned>(::getuid()));
            return 0;
        }
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("XDG_DATA_HOME");
    } else {
        const char* env = std::getenv("HOME");
        home = env && *env ? env : passwordHome(::getuid());
    }

    if (privileged) {
        bw::raiseDescriptorLimit();
        const std::string cacheRoot = args[2];
        const std::string cache = bw::withoutTrailingSlashes(bw::cacheFolderFor(args[1], cacheRoot, home, ::getuid()));
        const std::string homeLayoutEnd = std::string("/") + bw::kCacheFolderName;
        const bool volumeLayout =
            cache.size() < homeLayoutEnd.size() ||
            cache.compare(cache.size() - homeLayoutEnd.size(), std::string::npos, homeLayoutEnd) != 0;
        std::string why;
        // The one piece of work that needs root: a volume's shared cache folder that no user controls.
        if (volumeLayout && !bw::prepareVolumeCacheFolder(cacheRoot, ::getuid(), ::getgid(), &why)) {
            bw::logLine(LOG_ERR, "launch refused: %s", why.c_str());
            return 0;
        }
        // From here on the daemon is its user, before any thread, bus connection or parse of user files.
        if (!bw::dropPrivilegesToUser(::getuid(), ::getgid(), &why)) {
            bw::logLine(LOG_ERR, "launch refused: cannot give up root: %s", why.c_str());
            return 0;
        }
    }

    // One daemon per trash folder: the lock lives as long as the process, and a second launch ends here.
    // A restart (new settings) launches the successor while its predecessor is still in its last second,
    // so the lock is waited for a little before the launch counts as a second one.
    bw::UniqueFd trashLock = bw::openDirectoryPath(args[1], privileged);
    bool locked = !trashLock;
    for (int attempt = 0; trashLock && attempt < 50; ++attempt) {
        if (::flock(trashLock.get(), LOCK_EX | LOCK_NB) == 0) {
            locked = true;
            break;
        }
        ::usleep(100 * 1000);
    }
    if (!locked) {
        bw::logLine(LOG_ERR, "another daemon already protects %s; this one ends", args[1].c_str());
        return 0;
    }

    // Only the event loop receives the quit signals; block them before any thread exists.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    sd_event* rawEvent = nullptr;
    if (int r = sd_event_new(&rawEvent); r < 0) {
        bw::logLine(LOG_ERR, "cannot create the event loop: %s", std::strerror(-r));
        return 0;
    }
    std::unique_ptr<sd_event, EventUnref> event(rawEvent);
    // Opened only now, with the user's ids: the bus counts the connection against the user, not root.
    bw::NotificationBus bus;
    // Everything the daemon obeys comes from its own user or root; nobody else's signals take any room.
    bus.acceptOnlyFrom(::getuid());
    bus.attachEvent(event.get());

    auto daemon = bw::Daemon::daemon();
    daemon->setSurveyTime(static_cast<double>(std::atoll(argv[1])));
    daemon->setTrashPath(argv[2]);
    daemon->setTrashCachePath(argv[3]);
    daemon->setFileMBSizeLimitation(std::atoll(argv[4]));
    daemon->setPercentFreeOnDisk(std::atoll(argv[5]));
    daemon->setRunningMode(std::atoll(argv[6]));
    daemon->setDaemonUID(static_cast<std::int32_t>(std::atoll(argv[7])));
    daemon->setNbDaysInCache(std::atoll(argv[8]));
    daemon->setHomeFolder(home);
    daemon->setPrivileged(privileged);
    daemon->setBus(&bus);
    daemon->setEvent(event.get());
    // Surveys every surveyTime instead of on the trash folder's news: what a kernel that cannot watch the
    // folder leaves; the tests use it to run that path.
    if (const char* poll = std::getenv("BW2_SURVEY_POLL"); poll && std::strcmp(poll, "1") == 0)
        daemon->setEventSurveys(false);

    sd_event_add_signal(event.get(), nullptr, SIGTERM, onSignal, daemon.get());
    sd_event_add_signal(event.get(), nullptr, SIGINT, onSignal, daemon.get());

    daemon->launchDaemon();
    sd_event_loop(event.get());
    return 0;
}
