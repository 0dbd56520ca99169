#pragma once
// The rounding of the sizes the status menu, the Information tab and the recovery list show: up to
// 1000 bytes as they are; above, kilo, mega and giga units of 1000 with the values (B + 51) / 1e3,
// (B + 1051) / 1e6 and (B + 2051) / 1e9. Each caller adds its own unit texts.

#include <cstdint>
#include <string>

namespace bw {

enum class SizeUnit { Bytes, Kilo, Mega, Giga };

struct RoundedSize {
    double value = 0; // whole bytes when the unit is Bytes
    SizeUnit unit = SizeUnit::Bytes;
};
RoundedSize roundedSize(std::uint64_t bytes);

// The value with one decimal ("%1.1f"): "1.0", "1000.1".
std::string oneDecimalText(double value);
// The same, read back as a float and written with the given separator and no trailing zero: "2.0"
// gives "2", 1.5 with ',' gives "1,5".
std::string oneDecimalNumberText(double value, char decimalSeparator = '.');

} // namespace bw
