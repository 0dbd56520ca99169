#pragma once
// The updater's user-visible texts ("Updater_1.0_…"), looked up by key. A missing key shows the key.

#include <string>
#include <vector>

namespace bw {

std::string updaterString(const std::string& key);
// Every key the table holds (for tests that check nothing shows a bare key).
std::vector<std::string> updaterStringKeys();

} // namespace bw
