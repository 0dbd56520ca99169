#pragma once
// Copying cached items back out: into a folder the user chose, or to the place they were trashed from.
// The cache and its indexes are never changed by a copy.

#include "recovery_item.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace bw {

// The n-th candidate of the free-name rule, always built from the name itself: "Report.pdf", 2 →
// "Report - 2.pdf"; "Notes", 1 → "Notes - 1".
std::string freeNameCandidate(const std::string& name, int n);

// A name for `name` in the folder: the name itself when neither the folder holds it nor `used` names
// it, else the first free candidate. Names are tested without following links.
std::string freeNameIn(const std::string& folder, const std::string& name, const std::set<std::string>& used = {});

// The target names of a drop of several items into one folder, in order: each free in the folder and
// different from the names chosen before it ("a.txt", "a.txt" → "a.txt", "a - 1.txt").
std::vector<std::string> dropNames(const std::string& folder, const std::vector<std::string>& displayNames);

// A display name from an index made usable as one file name: a "/" becomes "_", and an empty, "." or
// ".." name becomes "Recovered item", so that no name leads out of the destination.
std::string safeFileName(const std::string& displayName);

struct CopyOutcome {
    bool ok = false;
    std::string destination; // the full path written (or that would have been)
    std::string error;       // why it failed
};

// Copies one cached item (file, link as a link, or folder tree, with modes, times and extended
// attributes as a file manager copies them) into `folder` under a free name made from `wantedName`
// (the display name when empty). An existing item is never replaced: the copy is made in a private
// staging folder and moved in only under a name still free.
CopyOutcome recoverItemTo(const RecoveryItem& item, const std::string& folder, const std::string& wantedName = {});

// Every item into one folder, in order; a failure is logged and the next item goes on. `progress` (when
// given) hears of each item before it is copied: its position and its display name.
std::vector<CopyOutcome> recoverInFolder(const std::vector<RecoveryItem>& items, const std::string& folder,
                                         const std::function<void(std::size_t, const std::string&)>& progress = {});

// Copies the item back to the path it was trashed from, recreating missing parent folders (with the
// caller's rights and umask); a name taken there gets the free-name rule. Fails when the original place
// is not known or not a safe absolute path.
CopyOutcome restoreToOriginalPlace(const RecoveryItem& item);

// Copies the item to the absolute path `destination`, recreating missing parent folders as above; a name
// taken there gets the free-name rule (the outcome's destination tells which name was used).
CopyOutcome copyItemToPath(const RecoveryItem& item, const std::string& destination);

} // namespace bw
