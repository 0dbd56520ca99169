// English texts of the main application.

#include "app_strings.h"

#include "text/strings_table.h"

namespace bw {

namespace {

const StringsTable& table() {
    static const StringsTable kTable = {
        // Window, tabs and menu commands.
        {"200_Window Title", "Binwarden 2"},
        {"200_Tab Information", "Information"},
        {"200_Tab Settings", "Settings"},
        {"200_Tab Recovery", "Recovery"},
        {"200_Tab Advanced", "Advanced"},
        {"200_Site URL", "https://binwarden2.example.org"},
        {"201_BETA URL", "https://binwarden2.example.org/beta"},
        {"200_Menu File", "&File"},
        {"200_Menu Quit", "&Quit"},
        {"200_Menu Delete All Caches", "&Delete All Caches…"},
        {"200_Menu Uninstall", "&Uninstall Binwarden 2…"},
        {"200_Menu Help", "&Help"},
        {"200_Menu Manual", "Binwarden 2 &Manual"},
        {"200_Menu Release Notes", "&Release Notes"},
        {"200_Menu Web Site", "Binwarden 2 on the &Web"},
        {"200_Menu Check Updates", "Check for &Updates…"},
        {"200_Menu About", "&About Binwarden 2"},
        {"AboutVersion", "Version %@"},
        {"200_About Credits", "Keeps a second copy of what you throw away, so it can be recovered after the "
                              "Trash was emptied."},
        {"200_Copyright", "© 2026 The Binwarden 2 authors"},
        {"200_Release Notes Title", "Release Notes"},
        {"200_Recovery Frame Note", "Cached items will be listed here."},
        // The Recovery tab.
        {"200_Disk Popup Home", "Home folder"},
        {"200_Disk Popup All", "All disks"},
        {"200_Time Popup 1", "Last hour"},
        {"200_Time Popup 3", "Last 3 hours"},
        {"200_Time Popup 6", "Last 6 hours"},
        {"200_Time Popup 12", "Last 12 hours"},
        {"200_Time Popup 24", "Last 24 hours"},
        {"200_Time Popup 168", "Last week"},
        {"200_Time Popup All", "Any time"},
        {"200_Search Placeholder", "Search by name"},
        {"200_Refresh List Button", "Read the list again"},
        {"200_Preview Button", "Preview"},
        {"200_Delete All Button", "Delete All…"},
        {"200_Delete Selection Button", "Delete…"},
        {"200_Restore Button", "Restore"},
        {"200_Recover Button", "Recover…"},
        {"200_Progress Title", "Working"},
        {"200_Context Recover", "Recover…"},
        {"200_Context Restore", "Restore to Original Place"},
        {"200_Context Preview", "Preview"},
        {"200_Context Delete", "Delete…"},
        {"200_Recovery Cell Infos", "%1"},
        {"200_Recovery Cell Infos with size", "%1 — %2"},
        {"200_Recovery Cell Original Folder", " — from %1"},
        {"200_Recovery Status", "Recovering “%1”…"},
        {"200_Restore Status", "Restoring “%1”…"},
        {"200_Delete Status", "Deleting…"},
        {"200_Recover Choose Folder", "Recover Into"},
        {"200_Recover Choose Button", "Recover Here"},
        {"200_Recovery Failed Title", "Some items could not be recovered."},
        {"200_Restore Failed Title", "Some items could not be restored."},
        {"200_Delete Failed Title", "Some items could not be deleted."},
        {"200_Alert OK Button", "OK"},
        {"200_Delete Item Alert Title", "Delete the selected items for good?"},
        {"200_Delete Item Alert Message", "They cannot be recovered afterwards."},
        {"200_Delete ALL Items Alert Message", "Every listed item will be deleted; none can be recovered afterwards."},
        {"200_Delete Item Alert Cancel Button", "Cancel"},
        {"200_Delete Item Alert Delete Button", "Delete"},
        {"200_Drag MultipleItems", "%1 items"},
        {"200_SubBar display format", "In: %1"},
        {"200_SubBar Back Button", "Back"},
        {"200_Preview Title", "Preview"},
        {"200_Preview Nothing Selected", "Nothing selected"},
        {"200_Preview Caption Many", "%1 (%2 of %3)"},
        // Password sheets.
        {"200_Password Ask Title", "Enter the access password"},
        {"200_Password Ask Message", "The Recovery tab is protected by a password."},
        {"200_Password Remove Message", "Enter the current access password to remove it."},
        {"200_Password Create Title", "Choose an access password"},
        {"200_Password Create Message", "The password will be asked for before the Recovery tab opens. It is "
                                        "kept in your keyring, never in the settings file."},
        {"200_Password Field", "Password:"},
        {"200_Password Confirm Field", "Confirm:"},
        {"200_Password OK Button", "OK"},
        {"200_Password Cancel Button", "Cancel"},
        // Information tab.
        {"200_Protection Active", "Protection is on"},
        {"200_Protection Stopped", "Protection is off"},
        {"200_Button Start Title", "Start"},
        {"200_Button Stop Title", "Stop"},
        {"200_Cache Size Label", "Total cache size:"},
        {"200_Disks Label", "Protected disks:"},
        {"200_Bytes Unit", " bytes"},
        {"200_Kilo Bytes Units", " KB"},
        {"200_Mega Bytes Units", " MB"},
        {"200_Giga Bytes Units", " GB"},
        {"200_Generic size information", "%@%@"},
        // Settings tab.
        {"200_Settings General", "General"},
        {"200_Settings Updates CB", "Check for updates automatically"},
        {"200_Settings Menu CB", "Show the status menu"},
        {"200_Settings Notes CB", "Show a note when items reach a cache"},
        {"200_Settings Password CB", "Ask for a password before opening the Recovery tab"},
        {"200_Settings Volumes", "Protected disks"},
        {"200_Volume Column Protected", "Protect"},
        {"200_Volume Column Name", "Disk"},
        {"200_Home Trash", "Home Trash"},
        {"200_Save Button", "Save"},
        // Advanced tab.
        {"200_Settings Limits", "Limits"},
        {"200_Settings Percent Label", "Keep at least this much of each disk free (%):"},
        {"200_Settings Days CB", "Remove cached items after this many days of activity:"},
        {"200_Settings Size CB", "Do not keep files larger than (MB):"},
        {"200_Settings Mode", "When items are thrown away"},
        {"200_Settings Mode Move", "Move them into the cache (the Trash stays empty)"},
        {"200_Settings Mode Copy", "Copy them into the cache (the Trash is left as it is)"},
        {"200_Settings Filters", "Never keep files whose name"},
        {"200_Filter Column Type", "Rule"},
        {"200_Filter Column Rule", "Text"},
        {"200_Filter Type Name", "contains"},
        {"200_Filter Type Extension", "has the extension"},
        {"200_Filter Add Tooltip", "Add a filter"},
        {"200_Filter Remove Tooltip", "Remove the selected filters"},
        // Unsaved changes.
        {"200_Save Settings Alert Title", "Save the changed settings?"},
        {"200_Save Settings Alert Message",
         "You changed settings without saving them. Unsaved changes are lost when you come back to this tab."},
        {"200_Save Settings Alert Save Button", "Save"},
        {"200_Save Settings Alert Cancel Button", "Don't Save"},
    };
    return kTable;
}

} // namespace

std::string appString(const std::string& key) {
    return table().text(key);
}

std::vector<std::string> appStringKeys() {
    return table().keys();
}

} // namespace bw
