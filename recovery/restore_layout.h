#pragma once
// Where restored items go: found by the path they were trashed from, and placed either back there or
// below another folder with the layout they had relative to each other.

#include "recovery_item.h"

#include <set>
#include <string>
#include <vector>

namespace bw {

// The items trashed from exactly `absolutePath` (compared clean), newest first as the list is.
std::vector<RecoveryItem> itemsTrashedFrom(const std::vector<RecoveryItem>& items, const std::string& absolutePath);

// The deepest folder holding every known original place of the items ("/" at worst; empty when no item
// has a usable one).
std::string commonParentFolder(const std::vector<RecoveryItem>& items);

// Where an item goes when restored into `toFolder` keeping the layout below `commonParent`: toFolder +
// its original path relative to the common parent. An item without a usable original place goes into
// toFolder itself under its (safe) name.
std::string layoutDestination(const RecoveryItem& item, const std::string& commonParent, const std::string& toFolder);

// The path a copy to `wantedPath` would get now: the path itself when it is free, else the free-name
// rule's first candidate not yet in `used` (full paths planned before it), which is then added to it.
std::string plannedPath(const std::string& wantedPath, std::set<std::string>& used);

} // namespace bw
