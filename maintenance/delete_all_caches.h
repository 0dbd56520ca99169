#pragma once
// Deleting every cache of the user at once, and ending the user's running agent.

#include "folder_removal.h"

#include <sys/types.h>

namespace bw {

// Every cache folder of the user on the mounted volumes (the home cache whether or not it exists, a
// volume's ".Binwarden2Cache" where one exists), from the live mount table.
std::vector<std::string> currentCachesPaths();

// Posts the stop request for `uid` first (the agent stops the user's daemons), waits 0.1 s, removes the
// folders one by one with the bounded wait, then announces "InfosNeedRefresh" and "CacheManagementDone".
// Protection stays off afterwards.
RemovalReport deleteAllCaches(const std::vector<std::string>& cacheFolders, uid_t uid,
                              const MaintenanceServices& services, const RemovalOptions& options = {},
                              const ProgressFunction& progress = {});

// Sends signal 15 to the tray agent of real user `uid` (command name "binwarden2-menu"), never to the
// main application or another user's agent. Answers how many were signalled.
int killExtraMenu(uid_t uid, const MaintenanceServices& services);

} // namespace bw
