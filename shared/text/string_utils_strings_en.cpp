// English texts of the display-formatting utilities. A size format holds one number conversion:
// "%d" for a whole number, "%.Nf" for N decimals; the number is written in the user's locale.

#include "text/string_utils_strings.h"

#include "text/strings_table.h"

namespace bw {

namespace {

const StringsTable& table() {
    static const StringsTable kTable = {
        {"StringUtils_%d Byte", "%d byte"}, {"StringUtils_%d Bytes", "%d bytes"},
        {"StringUtils_%d KB", "%.1f KB"},   {"StringUtils_%d MB", "%.1f MB"},
        {"StringUtils_%d GB", "%.2f GB"},   {"StringUtils_KB", "KB"},
        {"StringUtils_MB", "MB"},           {"StringUtils_GB", "GB"},
        {"StringUtils_TB", "TB"},
    };
    return kTable;
}

} // namespace

std::string stringUtilsString(const std::string& key) {
    return table().text(key);
}

std::vector<std::string> stringUtilsStringKeys() {
    return table().keys();
}

} // namespace bw
