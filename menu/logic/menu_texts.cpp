#include "menu_texts.h"

#include "agent_strings.h"

#include <cstdio>
#include <cstdlib>

namespace bw {

std::string oneDecimalNumberText(double value, char decimalSeparator) {
    char oneDecimal[64];
    std::snprintf(oneDecimal, sizeof oneDecimal, "%1.1f", value);
    float readBack = std::strtof(oneDecimal, nullptr);
    // The number format shows up to three decimals and drops trailing zeros.
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(readBack));
    std::string out = text;
    auto dot = out.find('.');
    if (dot != std::string::npos) {
        while (!out.empty() && out.back() == '0')
            out.pop_back();
        if (out.back() == '.')
            out.pop_back();
        else
            out[dot] = decimalSeparator;
    }
    return out;
}

std::string cacheSizeText(std::uint64_t bytes, char decimalSeparator) {
    if (bytes <= 1000)
        return formatText(localizedString("200_Generic size information"),
                          {std::to_string(bytes), localizedString("200_Bytes Unit")});
    double b = static_cast<double>(bytes);
    if (bytes <= 1000000ULL)
        return oneDecimalNumberText((b + 51) / 1000, decimalSeparator) + localizedString("200_Kilo Bytes Units");
    if (bytes <= 1000000000ULL)
        return oneDecimalNumberText((b + 1051) / 1000000, decimalSeparator) + localizedString("200_Mega Bytes Units");
    return oneDecimalNumberText((b + 2051) / 1000000000, decimalSeparator) + localizedString("200_Giga Bytes Units");
}

std::string infoBodyText(std::uint64_t cacheBytes, std::int64_t protectedDisks, char decimalSeparator) {
    return formatText(localizedString("200_Cache Size Info Format"), {cacheSizeText(cacheBytes, decimalSeparator)}) +
           "\n" + formatText(localizedString("200_Cache Nb Disks Info Format"), {std::to_string(protectedDisks)});
}

std::string infoTitleText() {
    return localizedString("200_Info in menu title");
}

std::string noteTextForItems(std::optional<std::int64_t> itemsMovedToCache) {
    if (!itemsMovedToCache)
        return localizedString("200_Cache Updated");
    if (*itemsMovedToCache == 1)
        return localizedString("200_Cache Updated_1");
    return formatText(localizedString("200_Cache Updated_X"), {std::to_string(*itemsMovedToCache)});
}

AlertTexts pruningDiskFullAlert(const std::string& volumeName, const PruneReport& report) {
    auto details = diskFullDetails(report.freeBytes, report.totalBytes, report.space.freePercent, report.cacheSize);
    AlertTexts alert;
    alert.title = formatText(localizedString("200_Disk Full title"), {volumeName});
    alert.message = formatText(localizedString("200_Disk Full Message 2"), {volumeName}) + "\n\n" +
                    formatText(localizedString("200_Disk Full Message Details"),
                               {std::to_string(details.totalGB), std::to_string(details.freeGB),
                                std::to_string(details.freePercent), std::to_string(details.cacheMB)});
    alert.button = localizedString("200_Disk Full Understood Button");
    return alert;
}

AlertTexts diskFullAlert(const std::string& volumeName) {
    return {formatText(localizedString("200_Disk Full title"), {volumeName}),
            formatText(localizedString("200_Disk Full Message"), {volumeName, volumeName}),
            localizedString("200_Disk Full Understood Button")};
}

int dockPosition(const Rect& frame, const Rect& visible) {
    if (visible.x > 0)
        return 1;
    if (visible.x < 0)
        return visible.y > 0 ? 2 : 0;
    if (frame.width > visible.width)
        return 3;
    return visible.y > 0 ? 2 : 0;
}

} // namespace bw
