#include "main_application.h"

#include "desktop_session.h"
#include "files/unique_fd.h"
#include "settings/settings.h"
#include "files/log_line.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>

namespace bw {

bool openMainApplication(ProtectionServices& services, const std::string& installRoot, const std::string& dataHome,
                         bool atSettings) {
    std::string app = mainApplicationPathIn(installRoot);
    if (access(app.c_str(), X_OK) != 0)
        return false;
    if (atSettings) {
        std::string support = dataHome + "/Binwarden 2";
        std::error_code ec;
        std::filesystem::create_directories(support, ec);
        std::string flag = support + "/" + kSettingsFlagFileName;
        UniqueFd flagFile(open(flag.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    }
    std::string error;
    if (!services.launch(app, {app}, &error, {})) {
        bw::logLine(LOG_ERR, "-[MainController openBinwardenThread:] %s", error.c_str());
        return false;
    }
    return true;
}

} // namespace bw
