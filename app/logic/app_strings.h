#pragma once
// The main application's user-visible texts, looked up by key ("200_…", "201_…"). A missing key shows
// the key itself.

#include <string>
#include <vector>

namespace bw {

std::string appString(const std::string& key);
// Every key the table holds (for tests that check nothing shows a bare key).
std::vector<std::string> appStringKeys();

} // namespace bw
