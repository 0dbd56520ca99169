#include "infos_texts.h"

#include "app_strings.h"
#include "menu_texts.h"

namespace bw {

std::string infosCacheSizeText(std::uint64_t bytes, char decimalSeparator) {
    return cacheSizeText(bytes, decimalSeparator, appString);
}

std::string infosDisksText(std::size_t protectedDisks) {
    return std::to_string(protectedDisks);
}

} // namespace bw
