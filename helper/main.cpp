// helper: the product's only set-uid root file. Any local user can run it with any arguments, so it
// does what the agent's three command lines need and refuses everything else:
//   helper repair                                    (run as root: make this running file root-owned,
//                                                     set-uid, once its folder and bw2daemon are root's)
//   helper <eight daemon arguments>                  (start bw2daemon with them)
//   helper <helper path> rt pathToFile <eight ...>   (its own re-execution right after a repair)
// The daemon keeps the caller's real uid and gid and runs with effective uid 0.

#include "launch_environment.h"
#include "launch_validation.h"
#include "set_file_root_privileges.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

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

// The step every launching run ends with: give the child time to come up, then go.
int finish() {
    ::sleep(1);
    return 0;
}

// The repair as root, of the running file only; a refusal is logged and changes nothing.
void repair(uid_t caller) {
    std::string why;
    if (!bw::helper::repairRunningHelper(&why))
        bw::helper::logRefusal(caller, why, "the repair");
}

// Repair, then run this file again so that the new instance starts as root and takes the normal road.
int repairAndRelaunch(const std::string& self, uid_t caller, int argc, char** argv) {
    if (::setuid(0) != 0)
        std::perror("setuidErr 2");
    if (::setreuid(0, 0) != 0)
        std::perror("setreuidErr 2");
    repair(caller);

    pid_t pid = ::fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        std::vector<std::string> args = {self, self, "rt", "pathToFile"};
        for (auto& a : lastDaemonArguments(argc, argv))
            args.push_back(std::move(a));
        std::vector<char*> argvOut;
        for (auto& a : args)
            argvOut.push_back(a.data());
        argvOut.push_back(nullptr);
        ::execv(self.c_str(), argvOut.data());
        std::perror("helper: execl error.");
        ::_exit(0);
    }
    ::sleep(5);
    return finish();
}

int launchDaemon(const std::string& self, uid_t caller, int argc, char** argv) {
    if (argc - 1 < kDaemonArgumentCount) {
        bw::helper::logRefusal(caller, "fewer than eight daemon arguments");
        return 0;
    }
    const std::vector<std::string> daemonArgs = lastDaemonArguments(argc, argv);
    std::string why;
    if (!bw::validateDaemonArguments(daemonArgs, caller, &why)) {
        bw::helper::logRefusal(caller, why);
        return 0;
    }
    if (::geteuid() != 0) {
        bw::helper::logRefusal(caller, "not running as root (a file system mounted nosuid?)");
        return 0;
    }
    bw::UniqueFd folder(bw::helper::openTrustedFolder(folderOf(self), &why));
    if (folder.get() < 0 || !bw::helper::holdsRunningImage(folder.get(), nameOf(self), &why) ||
        !bw::helper::isTrustedDaemon(folder.get(), &why)) {
        bw::helper::logRefusal(caller, why);
        return 0;
    }
    bw::helper::applyBusAddressFile(folder.get());

    pid_t pid = ::fork();
    if (pid == 0) {
        bw::helper::executeDaemon(folder.get(), folderOf(self) + "/bw2daemon", daemonArgs);
        ::_exit(0);
    }
    return finish();
}

} // namespace

int main(int argc, char** argv) {
    // Before anything else: no descriptor, variable or signal state of the caller reaches what follows.
    bw::helper::ensureStandardDescriptors();
    bw::helper::markDescriptorsCloseOnExec();
    const uid_t caller = ::getuid();
    bw::helper::resetEnvironment(caller);
    ::openlog("helper", LOG_PID | LOG_PERROR, LOG_AUTHPRIV);

    if (argc < 1 || !argv || !argv[0]) {
        bw::helper::logRefusal(caller, "empty argument vector");
        return 0;
    }
    const std::string self = bw::helper::ownExecutablePath();
    // The running file itself decides, not whatever its name leads to by now.
    struct stat st;
    if (self.empty() || ::stat("/proc/self/exe", &st) != 0) {
        bw::helper::logRefusal(caller, "cannot find its own file");
        return 0;
    }

    if (st.st_uid != 0) {
        if (argc >= 2 && std::strcmp(argv[1], "repair") == 0) {
            if (::setuid(0) != 0)
                std::perror("setuidErr");
            if (::setreuid(0, 0) != 0)
                std::perror("setreuidErr");
            repair(caller);
            return 0;
        }
        if (argc < 3) {
            bw::helper::logRefusal(caller, "no second argument on an unrepaired file");
            return 0;
        }
        if (std::strncmp(argv[2], "rt", 2) == 0) {
            ::syslog(LOG_ERR, "Can't goes to root");
            return finish();
        }
        if (argc - 1 < kDaemonArgumentCount) {
            bw::helper::logRefusal(caller, "fewer than eight daemon arguments");
            return 0;
        }
        return repairAndRelaunch(self, caller, argc, argv);
    }
    return launchDaemon(self, caller, argc, argv);
}
