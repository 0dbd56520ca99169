#pragma once
// The application's version as one integer ("APPVersion"), stored as "FirstLaunch" to tell a new version's
// first launch.

#include <cstdint>
#include <string>

namespace bw {

// "major.minor.patch" with an optional "b<build>": each of major, minor and patch as at least two digits,
// then the build text ("0000" without one), read as one decimal number. "2.1.3b4" → 201034, "2.1" →
// 201000000. Missing numbers count as 0; a malformed version gives 0 for all three.
std::int64_t appVersionNumber(const std::string& bundleVersion);

// The version this program was built as.
std::string appBundleVersion();
std::int64_t APPVersion();

} // namespace bw
