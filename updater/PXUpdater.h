#pragma once
// The updater as the agent and the main application call it. Until the update check itself is built,
// a check only logs one line; the configuration is kept so that callers need no change later.

#include <string>

namespace bw {

class PXUpdater {
public:
    PXUpdater() = default;

    void setScriptURL(const std::string& url) {
        if (!url.empty())
            _scriptURL = url;
    }
    void setProductReference(const std::string& reference) { _productRef = reference; }
    void setInstallationPath(const std::string& path) { _installationPath = path; }
    void setCanWarnUser(bool canWarn) { _canWarn = canWarn; }
    void setCanPostNotification(bool allowed) { _allowedToPostNotification = allowed; }
    void setLogFlag(bool logging) { _logging = logging; }
    void setManualUpdate(bool manual) {
        _manualUdate = manual;
        _logging = !manual;
    }
    void resetUpdateTime() { _lastUpdate = 0.0; }
    double lastUpdate() const { return _lastUpdate; }

    // Asks for the newest version. Not built yet: logs one line and finds nothing.
    void checkVersionAsynchronous();
    // How many checks were asked for (for the agent's tests of its timing).
    int checksRequested() const { return m_checksRequested; }

    const std::string& productReference() const { return _productRef; }
    const std::string& installationPath() const { return _installationPath; }
    bool canWarn() const { return _canWarn; }

private:
    std::string _scriptURL;
    std::string _productRef;
    std::string _installationPath;
    double _lastUpdate = 0.0;
    bool _canWarn = false;
    bool _manualUdate = false;
    bool _logging = false;
    bool _autoUpdate = false;
    bool _allowedToPostNotification = true;
    int m_checksRequested = 0;
};

// The update script's address.
inline constexpr char kUpdateScriptURL[] = "https://www.example.invalid/binwarden2/update.php";

} // namespace bw
