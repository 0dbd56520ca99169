// helper: the product's only set-uid root file. Any local user can run it with any arguments, so it
// does what the agent's three command lines need and refuses everything else:
//   helper repair                                    (run as root: make this running file root-owned,
//                                                     set-uid, once its folder and bw2daemon are root's)
//   helper <eight daemon arguments>                  (start bw2daemon with them)
//   helper <helper path> rt pathToFile <eight ...>   (its own re-execution right after a repair)
// The daemon keeps the caller's real uid and gid and runs with effective uid 0.
//
// main is one straight sequence: every step's result is checked where it is taken, and a failure is
// one refusal line (who, what, why) and the end of the run.

#include "files/log_line.h"
#include "launch_environment.h"
#include "launch_validation.h"
#include "set_file_root_privileges.h"
#include "step_result.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bw::helper::stepResult;

constexpr int kDaemonArgumentCount = 8;

std::string folderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}
std::string nameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The daemon's arguments are always the last eight of the command line.
std::vector<std::string> lastDaemonArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + argc - kDaemonArgumentCount, argv + argc);
}

// The one refusal line, and the exit status every refusal ends with.
int refuse(uid_t caller, const char* what, const std::string& why, int error = 0) {
    bw::helper::logRefusal(caller, why, what, error);
    return 0;
}

// The step every launching run ends with: give the child time to come up, then go.
int finish() {
    ::sleep(1);
    return 0;
}

// Root in all three user ids, verified after the change rather than trusted.
int verifyRoot() {
    uid_t real = 1, effective = 1, saved = 1;
    if (::getresuid(&real, &effective, &saved) != 0)
        return -errno;
    return real == 0 && effective == 0 && saved == 0 ? 0 : -EPERM;
}

// A run by an administrator on an unrepaired file: take root, repair the running file, done.
int repairAsAdministrator(uid_t caller) {
    if (int r = stepResult("setuid", ::setuid(0) == 0 ? 0 : -errno); r < 0)
        return refuse(caller, "the repair", "setuidErr", r);
    if (int r = stepResult("setreuid", ::setreuid(0, 0) == 0 ? 0 : -errno); r < 0)
        return refuse(caller, "the repair", "setreuidErr", r);
    if (int r = stepResult("root-ids", verifyRoot()); r < 0)
        return refuse(caller, "the repair", "its user ids are not all root's after the change", r);
    std::string why;
    if (bw::helper::repairRunningHelper(&why) < 0)
        return refuse(caller, "the repair", why.empty() ? "failed" : why);
    return 0;
}

// A launch on an unrepaired file. Run by a user (the agent before any repair) the attempt at root
// fails by design: both failures are reported, nothing is repaired, and the re-executed instance stops
// at the unrepaired check. Run as root it repairs, and the new instance starts as root and takes the
// normal road.
int repairAndRelaunch(const std::string& self, uid_t caller, int argc, char** argv) {
    bool root = true;
    if (::setuid(0) != 0) {
        bw::logLine(LOG_ERR, "setuidErr 2: %s", std::strerror(errno));
        root = false;
    }
    if (::setreuid(0, 0) != 0) {
        bw::logLine(LOG_ERR, "setreuidErr 2: %s", std::strerror(errno));
        root = false;
    }
    std::string why;
    if (root && bw::helper::repairRunningHelper(&why) < 0)
        refuse(caller, "the repair", why);

    const pid_t pid = ::fork();
    if (pid < 0) {
        refuse(caller, "a launch", "cannot fork", -errno);
        return 1;
    }
    if (pid == 0) {
        std::vector<std::string> args = {self, self, "rt", "pathToFile"};
        for (auto& a : lastDaemonArguments(argc, argv))
            args.push_back(std::move(a));
        std::vector<char*> argvOut;
        for (auto& a : args)
            argvOut.push_back(a.data());
        argvOut.push_back(nullptr);
        ::execv(self.c_str(), argvOut.data());
        bw::logLine(LOG_ERR, "execl error: %s", std::strerror(errno));
        ::_exit(0);
    }
    ::sleep(5);
    return finish();
}

int launchDaemon(const std::string& self, uid_t caller, int argc, char** argv) {
    if (argc - 1 < kDaemonArgumentCount)
        return refuse(caller, "a launch", "fewer than eight daemon arguments");
    const std::vector<std::string> daemonArgs = lastDaemonArguments(argc, argv);
    std::string why;
    if (!bw::validateDaemonArguments(daemonArgs, caller, &why))
        return refuse(caller, "a launch", why);
    if (::geteuid() != 0)
        return refuse(caller, "a launch", "not running as root (a file system mounted nosuid?)");
    bw::UniqueFd folder(bw::helper::openTrustedFolder(folderOf(self), &why));
    if (folder.get() < 0 || !bw::helper::holdsRunningImage(folder.get(), nameOf(self), &why) ||
        !bw::helper::isTrustedDaemon(folder.get(), &why))
        return refuse(caller, "a launch", why);
    bw::helper::applyBusAddressFile(folder.get());

    const pid_t pid = ::fork();
    if (pid < 0) {
        refuse(caller, "a launch", "cannot fork", -errno);
        return finish();
    }
    if (pid == 0) {
        if (int r = stepResult("signals", bw::helper::resetSignals()); r < 0)
            ::_exit(refuse(caller, "a launch", "cannot reset signal handling", r));
        const int r = bw::helper::executeDaemon(folder.get(), folderOf(self) + "/bw2daemon", daemonArgs);
        ::_exit(refuse(caller, "a launch", "cannot execute bw2daemon", stepResult("execute", r)));
    }
    return finish();
}

} // namespace

int main(int argc, char** argv) {
    const uid_t caller = ::getuid();
    // Before anything opens a descriptor: 0, 1 and 2 exist, so that no later file takes their place.
    const int standardDescriptors = stepResult("standard-descriptors", bw::helper::ensureStandardDescriptors());
    // Only sets the name and the destination; nothing is opened yet.
    ::openlog("helper", LOG_PID | LOG_PERROR, LOG_AUTHPRIV);
    const bool repairForm = argc >= 2 && argv && argv[1] && std::strcmp(argv[1], "repair") == 0;
    const char* what = repairForm ? "the repair" : "a launch";

    if (argc < 1 || !argv || !argv[0])
        return refuse(caller, what, "empty argument vector");
    if (standardDescriptors < 0)
        return refuse(caller, what, "cannot open /dev/null on a closed standard descriptor", standardDescriptors);
    // No descriptor, variable or signal state of the caller reaches what follows.
    if (int r = stepResult("close-on-exec", bw::helper::markDescriptorsCloseOnExec()); r < 0)
        return refuse(caller, what, "cannot mark its descriptors close-on-exec", r);
    if (int r = stepResult("environment", bw::helper::resetEnvironment(caller)); r < 0)
        return refuse(caller, what, "cannot rebuild its environment", r);

    const std::string self = bw::helper::ownExecutablePath();
    // The running file itself decides, not whatever its name leads to by now.
    struct stat st;
    if (self.empty() || ::stat("/proc/self/exe", &st) != 0)
        return refuse(caller, what, "cannot find its own file");

    if (st.st_uid == 0)
        return launchDaemon(self, caller, argc, argv);
    if (repairForm)
        return repairAsAdministrator(caller);
    if (argc < 3)
        return refuse(caller, what, "no second argument on an unrepaired file");
    if (std::strncmp(argv[2], "rt", 2) == 0) {
        bw::logLine(LOG_ERR, "Can't goes to root");
        return finish();
    }
    if (argc - 1 < kDaemonArgumentCount)
        return refuse(caller, what, "fewer than eight daemon arguments");
    return repairAndRelaunch(self, caller, argc, argv);
}
