#pragma once
// The Information tab's figures as texts.

#include <cstdint>
#include <string>

namespace bw {

// Up to 1,000 bytes the generic format with the number of bytes; above, kilo, mega and giga units of
// 1,000 with one decimal ((T + 51) / 1e3, (T + 1051) / 1e6, (T + 2051) / 1e9), written with the given
// decimal separator.
std::string infosCacheSizeText(std::uint64_t bytes, char decimalSeparator = '.');
// The number of entries of the stored volume list.
std::string infosDisksText(std::size_t protectedDisks);

} // namespace bw
