#include "window_frames.h"

#include <cstdlib>
#include <vector>

namespace bw {

std::string frameToString(const FrameRect& frame) {
    return "{{" + std::to_string(frame.x) + ", " + std::to_string(frame.y) + "}, {" + std::to_string(frame.width) +
           ", " + std::to_string(frame.height) + "}}";
}

std::optional<FrameRect> frameFromString(const std::string& text) {
    std::vector<long> numbers;
    const char* p = text.c_str();
    while (*p && numbers.size() < 4) {
        if ((*p >= '0' && *p <= '9') || ((*p == '-' || *p == '+') && p[1] >= '0' && p[1] <= '9')) {
            char* end = nullptr;
            double value = std::strtod(p, &end);
            if (value > 1e6 || value < -1e6)
                return std::nullopt;
            numbers.push_back(static_cast<long>(value));
            p = end;
        } else {
            ++p;
        }
    }
    if (numbers.empty())
        return std::nullopt;
    numbers.resize(4, 0);
    FrameRect frame{static_cast<int>(numbers[0]), static_cast<int>(numbers[1]), static_cast<int>(numbers[2]),
                    static_cast<int>(numbers[3])};
    if (frame.width <= 0 || frame.height <= 0)
        return std::nullopt;
    return frame;
}

std::string savedFrameKey(int tab) {
    switch (tab) {
    case kTabSettings:
        return "NSWindow settings frame";
    case kTabRecovery:
        return "NSWindow recovery frame";
    case kTabAdvanced:
        return "NSWindow advanced frame";
    default:
        return {};
    }
}

FrameRect frameWithSavedSize(const FrameRect& current, const FrameRect& saved) {
    return {current.x, current.y, saved.width, saved.height};
}

FrameRect frameAtMinimum(const FrameRect& current, int minWidth, int minHeight) {
    return {current.x, current.y, minWidth, minHeight};
}

} // namespace bw
