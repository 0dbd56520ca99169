#pragma once
// The texts of the display-formatting utilities (the "KOR_StringUtils" table), looked up by key
// ("StringUtils_…"). A missing key shows the key itself.

#include <string>
#include <vector>

namespace bw {

std::string stringUtilsString(const std::string& key);
// Every key the table holds (for tests that check nothing shows a bare key).
std::vector<std::string> stringUtilsStringKeys();

} // namespace bw
