#include "menu_texts.h"

#include "agent_strings.h"

namespace bw {

std::string cacheSizeText(std::uint64_t bytes, char decimalSeparator,
                          const std::function<std::string(const std::string&)>& lookUp) {
    const RoundedSize size = roundedSize(bytes);
    switch (size.unit) {
    case SizeUnit::Bytes:
        return formatText(lookUp("200_Generic size information"), {std::to_string(bytes), lookUp("200_Bytes Unit")});
    case SizeUnit::Kilo:
        return oneDecimalNumberText(size.value, decimalSeparator) + lookUp("200_Kilo Bytes Units");
    case SizeUnit::Mega:
        return oneDecimalNumberText(size.value, decimalSeparator) + lookUp("200_Mega Bytes Units");
    case SizeUnit::Giga:
        break;
    }
    return oneDecimalNumberText(size.value, decimalSeparator) + lookUp("200_Giga Bytes Units");
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
