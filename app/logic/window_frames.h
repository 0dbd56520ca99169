#pragma once
// The main window's frames: the textual rectangle form they are stored in ("{{x, y}, {w, h}}", origin
// then size), which tab stores under which key, and the frame a tab switch gives. Screen coordinates grow
// downwards, so keeping the top edge means keeping y.

#include <optional>
#include <string>

namespace bw {

struct FrameRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const FrameRect&) const = default;
};

std::string frameToString(const FrameRect& frame);
// The numbers of the text in order (x, y, width, height), missing ones as 0; nothing when the text holds
// no number at all or a size that is not positive.
std::optional<FrameRect> frameFromString(const std::string& text);

// Tab identifiers: the position plus one.
enum TabId : int { kTabInformation = 1, kTabSettings = 2, kTabRecovery = 3, kTabAdvanced = 4 };

// "NSWindow settings frame", "NSWindow recovery frame", "NSWindow advanced frame"; empty for Information.
std::string savedFrameKey(int tab);

// The saved size placed at the current left and top edges.
FrameRect frameWithSavedSize(const FrameRect& current, const FrameRect& saved);
// The minimum size placed at the current left and top edges.
FrameRect frameAtMinimum(const FrameRect& current, int minWidth, int minHeight);

} // namespace bw
