// English texts of the updater.

#include "updater_strings.h"

#include "text/strings_table.h"

namespace bw {

namespace {

const StringsTable& table() {
    static const StringsTable kTable = {
        {"Updater_1.0_NewVersionCheckTitle", "A new version of Binwarden 2 is available"},
        {"Updater_1.0_NewVersionCheckTextWithVersions",
         "Binwarden 2 ^newVersion_ is available; you have ^curVersion_. Would you like to download and install "
         "it now?"},
        {"Updater_1.0_NewVersionCheckGoToButton", "A new version of Binwarden 2 is available."},
        {"Updater_1.0_ImpossibleToDownloadRN", "The release notes could not be loaded."},
        {"Updater_1.0_Release notes", "Release notes"},
        {"Updater_1.0_Later button", "Not Now"},
        {"Updater_1.0_Install button", "Download and Install"},
        {"Updater_1.0_Open page button", "Open Download Page"},
        {"Updater_1.0_System copy message",
         "This copy of Binwarden 2 was installed by the system's package manager and cannot update itself. "
         "The download page opens in your browser; install the new version from there or with your package "
         "manager."},
        {"Updater_1.0_No new version title", "Binwarden 2 is up to date"},
        {"Updater_1.0_No new version message", "You have the newest version of Binwarden 2."},
        {"Updater_1.0_Ok button", "OK"},
        {"Updater_1.0_Update window title", "Software Update"},
        {"Updater_1.0_Status Preparing", "Preparing the download…"},
        {"Updater_1.0_Status Downloading", "Downloading the new version…"},
        {"Updater_1.0_Status Installing", "Checking and installing the new version…"},
        {"Updater_1.0_Download Progress format", "%1 MB of %2 MB"},
        {"Updater_1.0_Download Progress format with time", "%1 MB of %2 MB — about %3 seconds left"},
        {"Updater_1.0_Download Progress unknown size", "%1 MB"},
        {"Updater_1.0_Cancel button", "Cancel"},
        {"Updater_1.0_Install Finish Title", "Binwarden 2 was updated"},
        {"Updater_1.0_Install Finish Message",
         "The new version is installed and starts now. The previous version is in the Trash."},
        {"Updater_1.0_Install Finish Button", "Start Binwarden 2"},
        {"Updater_1.0_Download Error Title", "The update could not be installed"},
        {"Updater_1.0_Impossible to download message",
         "The downloaded update could not be opened. The download page opens in your browser so that you can "
         "install it by hand."},
        {"Updater_1.0_Signature Error message",
         "The downloaded update is not signed by the makers of Binwarden 2, so it was deleted and nothing was "
         "installed. Please try again later."},
        {"Updater_1.0_Replace Error message", "The new version could not be put in place: %1. Nothing was changed."},
        {"OKButton", "OK"},
        // Empty: the addresses from the update script are used as they are.
        {"Updater_1.0_International product URL", ""},
        {"Updater_1.0_International dmg URL", ""},
    };
    return kTable;
}

} // namespace

std::string updaterString(const std::string& key) {
    return table().text(key);
}

std::vector<std::string> updaterStringKeys() {
    return table().keys();
}

} // namespace bw
