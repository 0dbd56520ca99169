#include "recovery_texts.h"

#include "plist/reference_time.h"

#include <unicode/udat.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <memory>

namespace bw {

namespace {

std::string oneDecimal(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%1.1f", value);
    return text;
}

struct DateFormatCloser {
    void operator()(UDateFormat* format) const { udat_close(format); }
};

} // namespace

SizeTextParts sizeTextParts(std::uint64_t n) {
    const double bytes = static_cast<double>(n);
    if (n <= 1000)
        return {std::to_string(n), kBytesUnitKey};
    if (n <= 1000000)
        return {oneDecimal((bytes + 51.0) / 1000.0), kKiloBytesUnitKey};
    if (n <= 1000000000)
        return {oneDecimal((bytes + 1051.0) / 1000000.0), kMegaBytesUnitKey};
    return {oneDecimal((bytes + 2051.0) / 1000000000.0), kGigaBytesUnitKey};
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
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UDateFormat, DateFormatCloser> format(
        udat_open(UDAT_SHORT, UDAT_MEDIUM, nullptr, nullptr, -1, nullptr, 0, &status));
    if (U_FAILURE(status) || !format)
        return {};
    const UDate when = unixFromReferenceTime(referenceSeconds) * 1000.0;
    UChar text[256];
    const int32_t length = udat_format(format.get(), when, text, 256, nullptr, &status);
    if (U_FAILURE(status))
        return {};
    char utf8[1024];
    int32_t utf8Length = 0;
    u_strToUTF8(utf8, sizeof utf8, &utf8Length, text, length, &status);
    if (U_FAILURE(status))
        return {};
    return std::string(utf8, static_cast<std::size_t>(utf8Length));
}

std::string rowInformationLine(const RecoveryItem& item) {
    std::string line = localDateText(item.cacheDate);
    if (item.itemSize && *item.itemSize > 0)
        line += " - " + englishSizeText(*item.itemSize);
    return line;
}

} // namespace bw
