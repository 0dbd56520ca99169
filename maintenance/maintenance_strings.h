#pragma once
// The texts of the maintenance alerts, looked up by key ("200_…"); a missing key shows the key. The alerts
// themselves are data here (title, message, buttons in their fixed order) so that the window and bw2ctl
// show the same thing and answer by position.

#include <string>
#include <vector>

namespace bw {

std::string maintenanceString(const std::string& key);
std::vector<std::string> maintenanceStringKeys();

struct AlertText {
    std::string titleKey;
    std::string messageKey;
    std::vector<std::string> buttonKeys; // in the order they are added; the answer is the index
};

// Cancel (0) first, Delete (1).
const AlertText& deleteAllCachesAlert();
// Cancel (0) first, Uninstall (1).
const AlertText& uninstallAlert();
// One button, Quit; the message is completed with the program's fate (see UninstallReport).
const AlertText& uninstallDoneAlert();
// Folders left behind by a removal: one button, OK; the list follows the message.
const AlertText& leftBehindAlert();
// A first-version menu runs at start-up: Stop it (0), Quit (1).
const AlertText& version1OnLaunchAlert();
// First-version caches found on Start: Delete (0), Convert (1), Ignore (2), Cancel (3).
const AlertText& version1OnStartAlert();

struct RemovalReport;
struct UninstallReport;
// The left-behind alert's message followed by one line per folder and its reason; empty when none.
std::string leftBehindMessage(const RemovalReport& report);
// The closing alert's message: thanks, then where the program went or the command that removes it.
std::string uninstallDoneMessage(const UninstallReport& report);

// The progress sheet's status while caches are removed, and while the first version's are taken over.
inline constexpr char kDeleteStatusKey[] = "200_Delete Status";
inline constexpr char kVersion1ConvertStatusKey[] = "200_V1 Convert Status";
// Why a first-version folder stayed (its items could not all be moved or removed).
inline constexpr char kVersion1LeftBehindReasonKey[] = "200_V1 Left Behind Reason";

enum class Version1Answer { Delete = 0, Convert = 1, Ignore = 2, Cancel = 3 };

} // namespace bw
