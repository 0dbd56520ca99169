#pragma once
// The added list ".Binwarden2.bw2added": item key -> first time seen (seconds since 2001), so that
// copy mode never copies the same trash item twice.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>

namespace bw {

inline constexpr char kAddedListFileName[] = ".Binwarden2.bw2added";

using AddedList = std::map<std::string, double>;

// Loads the cache folder's added list; an unreadable list is empty.
AddedList loadAddedList(const std::string& cacheFolder);
// Writes it whole and atomically (zlib of a keyed archive of a mutable dictionary).
// (uid_t)-1 / (gid_t)-1 leave owner/group as created.
bool saveAddedList(const AddedList& list, const std::string& cacheFolder, uid_t owner = static_cast<uid_t>(-1),
                   gid_t group = static_cast<gid_t>(-1));
// Drops entries recorded more than `days` days before `now`; days <= 0 keeps everything.
void expireAddedList(AddedList& list, double now, int days);

} // namespace bw
