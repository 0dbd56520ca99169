#pragma once
// Narrowing the recovery list by where items came from, their names, when they were stored and their
// size, from the words a person types ("3d", "2026-12-01", "10M").

#include "recovery_item.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

struct ItemFilter {
    std::optional<std::string> insideFolder; // absolute: the original path lies strictly below it
    std::optional<std::string> search;       // in the name, ignoring case and accents
    std::optional<double> since, until;      // stored at or after / at or before, seconds since 2001
    // Sizes in bytes, strictly larger / smaller. Folders are not measured, so a size limit leaves them out.
    std::optional<std::uint64_t> largerThan, smallerThan;

    bool empty() const {
        return !insideFolder && !search && !since && !until && !largerThan && !smallerThan;
    }
};

// The items the filter keeps, in their order.
std::vector<RecoveryItem> filterItems(const std::vector<RecoveryItem>& items, const ItemFilter& filter);

// A moment from "90s", "30m", "2h", "3d", "2w" (that long before now) or an ISO date "2026-12-01",
// "2026-12-01T10:30", "2026-12-01 10:30:15" in local time; nothing when the text is neither.
std::optional<double> parseMomentText(std::string_view text, double now);

// Bytes from "512", "10k", "10K", "1.5M", "2G", "1T" (decimal units, as the sizes are shown; "KiB",
// "MiB" … for binary ones); nothing when the text is not a size.
std::optional<std::uint64_t> parseSizeText(std::string_view text);

// The path made absolute against `workingFolder` and cleaned of ".", ".." and doubled slashes, without
// asking the file system (the original places may no longer exist).
std::string absoluteCleanPath(const std::string& path, const std::string& workingFolder);

// Whether `path` lies strictly below `folder` (both absolute and clean).
bool pathIsBelow(const std::string& path, const std::string& folder);

} // namespace bw
