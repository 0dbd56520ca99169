#pragma once
// Property lists read whole from a file (the file and volume utilities' property-list queries).

#include "plist/plist_ptr.h"

#include <string>

namespace bw {

// The property list parsed from the whole file at `path`, within the guard's limits; nothing for a
// missing, empty, unreadable or unparsable file, or one past 16 MiB.
PlistPtr getDictionaryInPList(const std::string& path);

// A copy of the value of a top-level key of that property list (a dictionary); nothing when there is
// no list or no such key.
PlistPtr getObjectInPList(const std::string& path, const std::string& key);

} // namespace bw
