#pragma once
// One pruning pass on this machine, as the agent and `bw2ctl prune` both run it: the cache's volume
// from the mount table, its sizes from statvfs, the limits from the agent's settings.

#include "cache_pruning.h"
#include "mount_watch.h"
#include "protection_plan.h"

#include <sys/types.h>

#include <string>

namespace bw {

PruneReport runPruningPass(const std::string& cacheFolder, const AgentSettings& settings, uid_t uid,
                           const std::string& mountTableFile = kMountTableFile);

} // namespace bw
