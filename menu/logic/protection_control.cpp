#include "protection_control.h"

#include "files/log_line.h"
#include "settings/settings.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

namespace bw {

namespace {

constexpr char kLaunchOperation[] = "-[MainController launchDaemonForTrash:andTrashCache:]";

bool pathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The home trash is ours to create when it is missing (a fresh account has none until something is
// thrown away); the daemon needs its "files" folder to survey. A volume's trash is made by createVolumeTrashIfMissing.
void ensureHomeTrash(const std::string& filesFolder) {
    std::string trash = filesFolder.substr(0, filesFolder.rfind('/'));
    for (const std::string& folder : {trash, filesFolder, trash + "/info"}) {
        if (pathExists(folder))
            continue;
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        chmod(folder.c_str(), 0700);
    }
}

} // namespace

ProtectionControl::ProtectionControl(ProtectionPaths paths, ProtectionServices& services, ProtectionHost& host)
    : m_paths(std::move(paths)), m_services(services), m_host(host), m_reporter(std::make_shared<Reporter>()) {
    m_reporter->paths = m_paths;
    m_reporter->services = &m_services;
    m_reporter->host = &m_host;
}

ProtectionControl::~ProtectionControl() {
    std::lock_guard lock(m_reporter->mutex);
    m_reporter->alive = false;
}

void ProtectionControl::Reporter::deliver(const ProtectionProblemReport& report) {
    std::lock_guard lock(mutex);
    if (alive)
        deliverLocked(report);
}

void ProtectionControl::Reporter::launcherEnded(int status, const std::string& trashArgument,
                                                const std::string& trashPath, const std::string& launcher) {
    std::lock_guard lock(mutex);
    if (!alive || services->daemonRunsFor(trashArgument))
        return;
    std::string detail = status == 1 ? "it could not fork" : "no bw2daemon runs for it after the launcher ended";
    deliverLocked({ProtectionProblem::LauncherRefused, trashPath, launcher, detail, std::time(nullptr)});
}

void ProtectionControl::Reporter::deliverLocked(const ProtectionProblemReport& report) {
    bw::logLine(LOG_WARNING, "%s", protectionProblemText(report).c_str());
    if (!paths.problemFile.empty())
        writeLastProtectionProblem(paths.problemFile, report);
    host->reportProblem(report);
}

void ProtectionControl::report(ProtectionProblem problem, const std::string& trash, const std::string& detail) {
    m_reporter->deliver({problem, trash, m_paths.launcher, detail, std::time(nullptr)});
}

std::optional<ProtectedTrash> ProtectionControl::trashToProtect(const std::string& folder) const {
    // A volume whose trash was never used gets one, or its daemon would have nothing to survey.
    if (folder != m_paths.homeFolder)
        createVolumeTrashIfMissing(folder, m_paths.uid);
    return trashForProtectedFolder(folder, m_paths.homeFolder, m_paths.uid, m_paths.dataHome);
}

AgentSettings ProtectionControl::reloadSettings(const std::optional<Settings>& settings) {
    Settings adopted = settings ? *settings : loadSettings(m_paths.settingsFile).value_or(Settings::agentFallback());
    AgentSettings agent = agentSettingsFrom(adopted, m_paths.homeFolder);
    std::lock_guard lock(m_mutex);
    m_settings = agent;
    m_loaded = true;
    return agent;
}

AgentSettings ProtectionControl::agentSettings() const {
    std::lock_guard lock(m_mutex);
    return m_settings;
}

std::vector<std::string> ProtectionControl::diskManaged() const {
    std::lock_guard lock(m_mutex);
    return m_settings.diskManaged;
}

void ProtectionControl::startProtection() {
    if (m_cancelled.load())
        return;
    bool empty;
    {
        std::lock_guard lock(m_mutex);
        empty = !m_loaded || m_settings.diskManaged.empty();
    }
    if (empty)
        reloadSettings();
    // A new start: what the last one reported no longer holds.
    if (!m_paths.problemFile.empty())
        clearLastProtectionProblem(m_paths.problemFile);
    if (!m_host.busConnected())
        report(ProtectionProblem::NoBus, "", "");
    auto folders = diskManaged();
    if (!folders.empty()) {
        for (const auto& folder : folders) {
            // The home trash is always there to protect; another volume only while it is mounted.
            auto trash = trashToProtect(folder);
            if (!trash)
                continue;
            if (trash->cacheRoot == m_paths.homeFolder)
                ensureHomeTrash(trash->trashPath);
            launchDaemonForTrash(*trash);
            // Quitting while this start waited: nothing more is launched or recorded.
            if (m_cancelled.load())
                return;
        }
        m_status.store(kStatusOn);
    }
    setProtectionStatusForStartTo(true);
}

int ProtectionControl::launchDaemonForTrash(const ProtectedTrash& trash) {
    if (!pathExists(trash.cacheRoot))
        return 0;
    // The home cache is made here, the user's alone. A volume's shared cache folder is left to the daemon,
    // which makes it root's so that no user can take another user's place in it.
    std::string cacheFolder = agentCacheFolder(trash.cacheRoot);
    if (trash.cacheRoot == m_paths.homeFolder && !pathExists(cacheFolder))
        mkdir(cacheFolder.c_str(), 0700);
    AgentSettings settings = agentSettings();
    std::vector<std::string> args = daemonArguments(trash, settings, m_paths.uid);

    bool repairCanFix = false;
    std::string problem = m_services.launcherProblem(m_paths.launcher, &repairCanFix);
    if (!problem.empty() && !repairCanFix) {
        // The repair only ever sets the helper's own file; asking for a password would change nothing.
        report(ProtectionProblem::LauncherNotSetUp, trash.trashPath, problem);
        m_status.store(kStatusOff);
        m_host.showProtection(false);
        return 0;
    }
    if (!problem.empty()) {
        int status = -1;
        RepairOutcome outcome = m_services.repair(m_paths.launcher, m_cancelled, &status);
        if (m_cancelled.load())
            return 0; // the agent quits: the wait was cut short, there is nothing to report
        switch (outcome) {
        case RepairOutcome::AuthorizationUnavailable:
            bw::logLine(LOG_ERR, "Error authorization");
            report(ProtectionProblem::NoAuthorizationTool, trash.trashPath, problem);
            m_status.store(kStatusUnknown);
            return 0;
        case RepairOutcome::Dismissed:
        case RepairOutcome::Refused:
            report(outcome == RepairOutcome::Dismissed ? ProtectionProblem::AuthorizationDismissed
                                                       : ProtectionProblem::AuthorizationRefused,
                   trash.trashPath, "");
            m_status.store(kStatusOff);
            m_host.showProtection(false);
            return 0;
        case RepairOutcome::Failed:
            bw::logLine(LOG_ERR, "%s: Authorization fails: %d. Path=%s", kLaunchOperation, status,
                        m_paths.launcher.c_str());
            break;
        case RepairOutcome::Done:
            break;
        }
        m_services.sleep(std::chrono::milliseconds(200));
        // A launch through a helper that is still not root's could only fail (after six seconds).
        std::string still = m_services.launcherProblem(m_paths.launcher, &repairCanFix);
        if (!still.empty()) {
            report(ProtectionProblem::RepairFailed, trash.trashPath, still);
            m_status.store(kStatusOff);
            m_host.showProtection(false);
            return 0;
        }
    }

    std::vector<std::string> argv{m_paths.launcher};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string error;
    // The helper takes about a second and reports nothing back; once it has ended, a daemon for this
    // trash runs or the launch was refused.
    auto onExit = [reporter = m_reporter, trashArgument = args[1], trashPath = trash.trashPath,
                   launcher = m_paths.launcher](int status) {
        reporter->launcherEnded(status, trashArgument, trashPath, launcher);
    };
    if (!m_services.launch(m_paths.launcher, argv, &error, std::move(onExit))) {
        bw::logLine(LOG_ERR, "%s %s", kLaunchOperation, error.empty() ? "cannot launch the helper" : error.c_str());
        report(ProtectionProblem::LauncherRefused, trash.trashPath, error.empty() ? "cannot launch the helper" : error);
    }
    m_status.store(kStatusOn);
    m_host.showProtection(true);
    return 0;
}

void ProtectionControl::stopProtection() {
    m_host.post("BWNotificationDaemonsMustQuit", std::to_string(m_paths.uid));
    m_services.sleep(std::chrono::milliseconds(200));
    m_status.store(kStatusOff);
    m_host.showProtection(false);
}

bool ProtectionControl::isProtectionActivated(bool forceCheck) {
    int status = m_status.load();
    if (status != kStatusUnknown && !forceCheck)
        return status == kStatusOn;
    auto records = m_services.processInfo(kDaemonProcessName);
    bool on = anyProcessOfUser(records, m_paths.uid);
    m_status.store(on ? kStatusOn : kStatusOff);
    return on;
}

bool ProtectionControl::isMainAppLaunched() {
    auto records = m_services.processInfo(kMainAppProcessName);
    return anyProcessOfUser(records, m_paths.uid);
}

bool ProtectionControl::launcherIsRootOwned() const {
    struct stat st {};
    return stat(m_paths.launcher.c_str(), &st) == 0 && st.st_uid == 0;
}

void ProtectionControl::setProtectionStatusForStartTo(bool on) {
    if (!pathExists(m_paths.settingsFile))
        return;
    writeProtectionStatusOnStart(m_paths.settingsFile, on);
}

bool ProtectionControl::protectionStatusForStart() const {
    return readProtectionStatusOnStart(m_paths.settingsFile);
}

void ProtectionControl::volumeDidMount(const std::string& mountPoint) {
    if (!isProtectionActivated(true))
        return;
    for (const auto& folder : diskManaged()) {
        if (folder == mountPoint && folder != m_paths.homeFolder) {
            if (auto trash = trashToProtect(folder))
                launchDaemonForTrash(*trash);
            return;
        }
    }
}

} // namespace bw
