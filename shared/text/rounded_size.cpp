#include "text/rounded_size.h"

#include <cstdio>
#include <cstdlib>

namespace bw {

RoundedSize roundedSize(std::uint64_t bytes) {
    const auto b = static_cast<double>(bytes);
    if (bytes <= 1000)
        return {b, SizeUnit::Bytes};
    if (bytes <= 1000000ULL)
        return {(b + 51) / 1000, SizeUnit::Kilo};
    if (bytes <= 1000000000ULL)
        return {(b + 1051) / 1000000, SizeUnit::Mega};
    return {(b + 2051) / 1000000000, SizeUnit::Giga};
}

std::string oneDecimalText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%1.1f", value);
    return text;
}

std::string oneDecimalNumberText(double value, char decimalSeparator) {
    const float readBack = std::strtof(oneDecimalText(value).c_str(), nullptr);
    // The number format shows up to three decimals and drops trailing zeros.
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(readBack));
    std::string out = text;
    const auto dot = out.find('.');
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

} // namespace bw
