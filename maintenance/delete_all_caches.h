#pragma once
// Deleting every cache of the user at once, and ending the user's running agent.

#include "folder_removal.h"

#include <sys/types.h>

namespace bw {

// The user's own cache folders on the mounted volumes, from the live mount table: the home cache
// (whether or not it exists) and "<uid>" in each volume's ".Binwarden2Cache" where that exists.
std::vector<std::string> currentCachesPaths();

// Removes the shared ".Binwarden2Cache" above each removed per-user folder when nothing is left in it.
void removeEmptySharedCacheFolders(const RemovalReport& report);

// Posts the stop request for `uid` first (the agent stops the user's daemons), waits 0.1 s, removes the
// folders one by one with the bounded wait (a volume's shared ".Binwarden2Cache" goes too once nothing
// is left in it), then announces "InfosNeedRefresh" and "CacheManagementDone".
// Protection stays off afterwards.
RemovalReport deleteAllCaches(const std::vector<std::string>& cacheFolders, uid_t uid,
                              const MaintenanceServices& services, const RemovalOptions& options = {},
                              const ProgressFunction& progress = {});

// Sends signal 15 to the tray agent of real user `uid` (command name "binwarden2-menu"), never to the
// main application or another user's agent. Answers how many were signalled.
int killExtraMenu(uid_t uid, const MaintenanceServices& services);

} // namespace bw
