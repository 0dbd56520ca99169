#pragma once
// The shared cache folder of a volume, "<mount>/.Binwarden2Cache", that every user's daemon stores under.

#include <sys/types.h>

#include <string>

namespace bw {

// Run by the daemon while it is still root, before it drops to its user. Makes "<mount>/.Binwarden2Cache"
// a real folder of root's with mode 0711 (taking over one that a user made: only root may add entries, and
// nobody may list it), and "<uid>" in it a folder of the user's with mode 0700 (made by root and handed
// over through its descriptor, in a folder nobody else can write). Whatever else stands at "<uid>" (a
// folder another user planted before the take-over, a link, a file) is renamed aside to
// ".displaced-<uid>-<random>", so that nobody can block another user's cache, whoever came first. On a
// file system without owners (the take-over is refused there), the folders are used as they are. False
// with `why` when the folder cannot be made safe; the daemon then does not start.
bool prepareVolumeCacheFolder(const std::string& cacheRoot, uid_t uid, gid_t gid, std::string* why);

} // namespace bw
