#include "recovery_texts.h"

#include "text/kor_string_utils.h"
#include "text/rounded_size.h"

namespace bw {

SizeTextParts sizeTextParts(std::uint64_t n) {
    const RoundedSize size = roundedSize(n);
    switch (size.unit) {
    case SizeUnit::Bytes:
        return {std::to_string(n), kBytesUnitKey};
    case SizeUnit::Kilo:
        return {oneDecimalText(size.value), kKiloBytesUnitKey};
    case SizeUnit::Mega:
        return {oneDecimalText(size.value), kMegaBytesUnitKey};
    case SizeUnit::Giga:
        break;
    }
    return {oneDecimalText(size.value), kGigaBytesUnitKey};
}

std::string englishSizeText(std::uint64_t bytes) {
    const SizeTextParts parts = sizeTextParts(bytes);
    const std::string unit = parts.unitKey == kBytesUnitKey       ? "bytes"
                             : parts.unitKey == kKiloBytesUnitKey ? "KB"
                             : parts.unitKey == kMegaBytesUnitKey ? "MB"
                                                                  : "GB";
    return parts.numberText + " " + unit;
}

std::string localDateText(double referenceSeconds) {
    return KOR_StringUtils::formatDate(referenceSeconds, KOR_StringUtils::Style::Medium, KOR_StringUtils::Style::Short);
}

std::string rowInformationLine(const RecoveryItem& item) {
    std::string line = localDateText(item.cacheDate);
    if (item.itemSize && *item.itemSize > 0)
        line += " - " + englishSizeText(*item.itemSize);
    return line;
}

} // namespace bw
