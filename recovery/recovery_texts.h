#pragma once
// The texts of a recovery row: its size and the date it was stored. The localised wording belongs to
// the program showing them; the numbers and the choice of unit are made here.

#include "recovery_item.h"

#include <cstdint>
#include <string>

namespace bw {

inline constexpr char kBytesUnitKey[] = "200_Bytes Unit";
inline constexpr char kKiloBytesUnitKey[] = "200_Kilo Bytes Units";
inline constexpr char kMegaBytesUnitKey[] = "200_Mega Bytes Units";
inline constexpr char kGigaBytesUnitKey[] = "200_Giga Bytes Units";

// A size of n bytes in decimal units: up to 1000 the integer and bytes; above, (n + 51) / 1000 KB,
// (n + 1051) / 10^6 MB, (n + 2051) / 10^9 GB with one decimal ("%1.1f").
struct SizeTextParts {
    std::string numberText;
    const char* unitKey = kBytesUnitKey;
};
SizeTextParts sizeTextParts(std::uint64_t bytes);

// The parts put together with English units: "1000 bytes", "1.1 KB", "1000.1 KB", "2.3 GB".
std::string englishSizeText(std::uint64_t bytes);

// A time (seconds since 2001) with a medium date and a short time in the user's locale.
std::string localDateText(double referenceSeconds);

// The row's information line in English: the date, and the size when the item has one.
std::string rowInformationLine(const RecoveryItem& item);

} // namespace bw
