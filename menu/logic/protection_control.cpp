#include "protection_control.h"

#include "settings.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace bw {

namespace {

constexpr char kLaunchOperation[] = "-[MainController launchDaemonForTrash:andTrashCache:]";

bool pathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The home trash is ours to create when it is missing (a fresh account has none until something is
// thrown away); the daemon needs its "files" folder to survey. A volume's trash is never created here.
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

ProtectionServices ProtectionServices::system() {
    ProtectionServices services;
    services.processInfo = [](const std::string& name) { return processInfoForDaemonNamed(name); };
    services.launch = [](const std::string& exe, const std::vector<std::string>& args, std::string* error) {
        return launchDetached(exe, args, error);
    };
    services.repair = [](const std::string& launcher, int* status) {
        return repairLauncherWithAdminRights(launcher, status);
    };
    services.sleep = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
    return services;
}

ProtectionControl::ProtectionControl(ProtectionPaths paths, ProtectionServices services)
    : m_paths(std::move(paths)), m_services(std::move(services)) {}

void ProtectionControl::show(bool on) {
    if (m_services.showProtection)
        m_services.showProtection(on);
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
    bool empty;
    {
        std::lock_guard lock(m_mutex);
        empty = !m_loaded || m_settings.diskManaged.empty();
    }
    if (empty)
        reloadSettings();
    auto folders = diskManaged();
    if (!folders.empty()) {
        for (const auto& folder : folders) {
            // The home trash is always there to protect; another volume only while it is mounted.
            auto trash = trashForProtectedFolder(folder, m_paths.homeFolder, m_paths.uid, m_paths.dataHome);
            if (!trash)
                continue;
            if (trash->cacheRoot == m_paths.homeFolder)
                ensureHomeTrash(trash->trashPath);
            launchDaemonForTrash(*trash);
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

    struct stat st {};
    uid_t owner = stat(m_paths.launcher.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
    if (owner != 0) {
        int status = -1;
        RepairOutcome outcome =
            m_services.repair ? m_services.repair(m_paths.launcher, &status) : RepairOutcome::AuthorizationUnavailable;
        switch (outcome) {
        case RepairOutcome::AuthorizationUnavailable:
            syslog(LOG_ERR, "Error authorization");
            m_status.store(kStatusUnknown);
            return 0;
        case RepairOutcome::Dismissed:
        case RepairOutcome::Refused:
            m_status.store(kStatusOff);
            show(false);
            return 0;
        case RepairOutcome::Failed:
            syslog(LOG_ERR, "%s: Authorization fails: %d. Path=%s", kLaunchOperation, status, m_paths.launcher.c_str());
            break;
        case RepairOutcome::Done:
            break;
        }
        if (m_services.sleep)
            m_services.sleep(std::chrono::milliseconds(200));
    }

    std::vector<std::string> argv{m_paths.launcher};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string error;
    if (!m_services.launch || !m_services.launch(m_paths.launcher, argv, &error))
        syslog(LOG_ERR, "%s %s", kLaunchOperation, error.empty() ? "cannot launch the helper" : error.c_str());
    m_status.store(kStatusOn);
    show(true);
    return 0;
}

void ProtectionControl::stopProtection() {
    if (m_services.post)
        m_services.post("BWNotificationDaemonsMustQuit", std::to_string(m_paths.uid));
    if (m_services.sleep)
        m_services.sleep(std::chrono::milliseconds(200));
    m_status.store(kStatusOff);
    show(false);
}

bool ProtectionControl::isProtectionActivated(bool forceCheck) {
    int status = m_status.load();
    if (status != kStatusUnknown && !forceCheck)
        return status == kStatusOn;
    auto records = m_services.processInfo ? m_services.processInfo(kDaemonProcessName) : std::nullopt;
    bool on = anyProcessOfUser(records, m_paths.uid);
    m_status.store(on ? kStatusOn : kStatusOff);
    return on;
}

bool ProtectionControl::isMainAppLaunched() {
    auto records = m_services.processInfo ? m_services.processInfo(kMainAppProcessName) : std::nullopt;
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
            if (auto trash = trashForProtectedFolder(folder, m_paths.homeFolder, m_paths.uid, m_paths.dataHome))
                launchDaemonForTrash(*trash);
            return;
        }
    }
}

} // namespace bw
