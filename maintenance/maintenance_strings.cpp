// English texts of the maintenance alerts.

#include "maintenance_strings.h"

#include "agent_strings.h"
#include "uninstaller.h"

#include "text/strings_table.h"

namespace bw {

namespace {

const StringsTable& table() {
    static const StringsTable kTable = {
        {"200_Delete All Caches Item Alert Title", "Delete every cache?"},
        {"200_Delete All Caches Item Alert Message",
         "Everything Binwarden 2 kept of what you threw away, on every disk, is deleted for good. Protection "
         "stops; start it again from the Information tab."},
        {"200_Delete Item Alert Cancel Button", "Cancel"},
        {"200_Delete Item Alert Delete Button", "Delete"},
        {"200_Delete Status", "Deleting…"},
        {"200_Uninstall Title", "Uninstall Binwarden 2?"},
        {"200_Uninstall Message",
         "Every cache you may remove, the settings, the tray agent and its login entry are removed, then the "
         "program itself."},
        {"200_Uninstall Cancel", "Cancel"},
        {"200_Uninstall Button", "Uninstall"},
        {"200_Uninstall Confirm Title", "Binwarden 2 is uninstalled"},
        {"200_Uninstall Confirm Message", "Thank you for using Binwarden 2."},
        {"200_Uninstall Confirm Trashed", "The program was moved to the Trash:\n%@"},
        {"200_Uninstall Confirm Package", "To remove the program itself, run:\n%@"},
        {"200_Uninstall Confirm Not Moved", "The program could not be moved to the Trash; remove it yourself:\n%@"},
        {"200_Uninstall Confirm Quit Button", "Quit"},
        {"200_Left Behind Title", "Some folders could not be removed"},
        {"200_Left Behind Message",
         "They belong to another user or sit on a disk that cannot be written. Remove them yourself if you "
         "need to:"},
        {"200_Left Behind OK Button", "OK"},
        {"200_V1 Alert Title", "The first version of Binwarden is installed"},
        {"200_V1 Alert Message On Launch",
         "The first version's menu is running. It must be stopped before Binwarden 2 can protect your trash."},
        {"200_V1 Alert Stop V1 Button", "Stop the First Version"},
        {"200_V1 Alert Quit V2 Button", "Quit"},
        {"200_V1 Alert Message",
         "The first version left caches on your disks. Convert them so that their items are listed in the "
         "Recovery tab, delete them, or leave them for now."},
        {"200_V1 Alert Delete Button", "Delete"},
        {"200_V1 Alert Convert Button", "Convert"},
        {"200_V1 Alert Ignore Button", "Ignore"},
        {"200_V1 Alert Cancel Button", "Cancel"},
        {"200_V1 Convert Status", "Taking over the first version's caches…"},
        {"200_V1 Left Behind Reason", "some items could not be moved or removed"},
    };
    return kTable;
}

} // namespace

std::string maintenanceString(const std::string& key) {
    return table().text(key);
}

std::vector<std::string> maintenanceStringKeys() {
    return table().keys();
}

const AlertText& deleteAllCachesAlert() {
    static const AlertText kAlert{"200_Delete All Caches Item Alert Title",
                                  "200_Delete All Caches Item Alert Message",
                                  {"200_Delete Item Alert Cancel Button", "200_Delete Item Alert Delete Button"}};
    return kAlert;
}

const AlertText& uninstallAlert() {
    static const AlertText kAlert{
        "200_Uninstall Title", "200_Uninstall Message", {"200_Uninstall Cancel", "200_Uninstall Button"}};
    return kAlert;
}

const AlertText& uninstallDoneAlert() {
    static const AlertText kAlert{
        "200_Uninstall Confirm Title", "200_Uninstall Confirm Message", {"200_Uninstall Confirm Quit Button"}};
    return kAlert;
}

const AlertText& leftBehindAlert() {
    static const AlertText kAlert{"200_Left Behind Title", "200_Left Behind Message", {"200_Left Behind OK Button"}};
    return kAlert;
}

const AlertText& version1OnLaunchAlert() {
    static const AlertText kAlert{"200_V1 Alert Title",
                                  "200_V1 Alert Message On Launch",
                                  {"200_V1 Alert Stop V1 Button", "200_V1 Alert Quit V2 Button"}};
    return kAlert;
}

const AlertText& version1OnStartAlert() {
    static const AlertText kAlert{"200_V1 Alert Title",
                                  "200_V1 Alert Message",
                                  {"200_V1 Alert Delete Button", "200_V1 Alert Convert Button",
                                   "200_V1 Alert Ignore Button", "200_V1 Alert Cancel Button"}};
    return kAlert;
}

std::string leftBehindMessage(const RemovalReport& report) {
    if (report.leftBehind.empty())
        return {};
    std::string text = maintenanceString(leftBehindAlert().messageKey);
    for (const auto& folder : report.leftBehind)
        text += "\n" + folder.path + " (" + folder.reason + ")";
    return text;
}

std::string uninstallDoneMessage(const UninstallReport& report) {
    std::string text = maintenanceString(uninstallDoneAlert().messageKey);
    if (report.fate == ProgramFate::LeftForPackageManager)
        text += "\n" + formatText(maintenanceString("200_Uninstall Confirm Package"), {report.removalCommand});
    if (report.fate == ProgramFate::NotMoved)
        text += "\n" + formatText(maintenanceString("200_Uninstall Confirm Not Moved"), {report.installRoot});
    for (const auto& trashed : report.trashedAs)
        text += "\n" + formatText(maintenanceString("200_Uninstall Confirm Trashed"), {trashed});
    // The folders left behind follow under their own heading, as the closing alert is the only one shown.
    std::string leftBehind = leftBehindMessage(report.caches);
    if (!leftBehind.empty())
        text += "\n\n" + maintenanceString(leftBehindAlert().titleKey) + ". " + leftBehind;
    return text;
}

} // namespace bw
