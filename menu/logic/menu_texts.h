#pragma once
// The texts the agent shows, built from numbers: the information block's size and disks lines, the
// note texts, the disk-full alerts, and where the note window goes.

#include "agent_strings.h"
#include "cache_pruning.h"
#include "text/rounded_size.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace bw {

// The cache size as the menu writes it: bytes up to 1000, then kilo, mega and giga units of 1000 with
// one decimal, written again in the user's number format (no decimal when it is zero). The unit texts
// come from the agent's table unless another is given.
std::string cacheSizeText(std::uint64_t bytes, char decimalSeparator = '.',
                          const std::function<std::string(const std::string&)>& lookUp = localizedString);

// "Cache size: …\nProtected disks: N"
std::string infoBodyText(std::uint64_t cacheBytes, std::int64_t protectedDisks, char decimalSeparator = '.');
std::string infoTitleText();

// "200_Cache Updated" without a count, "200_Cache Updated_1" for 1, "200_Cache Updated_X" otherwise.
std::string noteTextForItems(std::optional<std::int64_t> itemsMovedToCache);

struct AlertTexts {
    std::string title, message, button;
};
// The alert of a pruning pass whose volume cannot get back above the minimum even with an empty cache.
AlertTexts pruningDiskFullAlert(const std::string& volumeName, const PruneReport& report);
// The alert a daemon asks for when its volume lacks room.
AlertTexts diskFullAlert(const std::string& volumeName);

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};
// Where the panel sits, from the screen's frame and its available part: 0 none, 1 left, 2 bottom, 3 right.
int dockPosition(const Rect& frame, const Rect& visible);

} // namespace bw
