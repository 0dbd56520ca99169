#pragma once
// The shared settings file as the main application writes it, for tests that start from given settings.

#include "settings/settings.h"

#include <string>

namespace bw::test {

// Writes `settings` under the settings key of a binary property list at `path`, making its folder;
// fails the test on error.
void writeSettingsFile(const std::string& path, const Settings& settings);

} // namespace bw::test
