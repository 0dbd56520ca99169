#pragma once
// The agent's user-visible texts, looked up by key ("200_…", "201_…"). A missing key shows the key.

#include <string>
#include <vector>

namespace bw {

std::string localizedString(const std::string& key);

// Replaces each "%@" of `format` by the next argument, in order; "%%" gives "%". Our own texts use only
// "%@", so no printf-style format ever sees a caller's value.
std::string formatText(const std::string& format, const std::vector<std::string>& args);

// Every key the table holds (for tests that check nothing shows a bare key).
std::vector<std::string> localizedStringKeys();

} // namespace bw
