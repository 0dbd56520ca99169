#include "infos_texts.h"

#include "agent_strings.h"
#include "app_strings.h"
#include "menu_texts.h"

namespace bw {

std::string infosCacheSizeText(std::uint64_t bytes, char decimalSeparator) {
    if (bytes <= 1000)
        return formatText(appString("200_Generic size information"),
                          {std::to_string(bytes), appString("200_Bytes Unit")});
    double b = static_cast<double>(bytes);
    if (bytes <= 1000000ULL)
        return oneDecimalNumberText((b + 51) / 1000, decimalSeparator) + appString("200_Kilo Bytes Units");
    if (bytes <= 1000000000ULL)
        return oneDecimalNumberText((b + 1051) / 1000000, decimalSeparator) + appString("200_Mega Bytes Units");
    return oneDecimalNumberText((b + 2051) / 1000000000, decimalSeparator) + appString("200_Giga Bytes Units");
}

std::string infosDisksText(std::size_t protectedDisks) {
    return std::to_string(protectedDisks);
}

} // namespace bw
