#include "app_version.h"

#include "settings/settings.h"

#include <cstdio>
#include <vector>

#ifndef BW_APP_VERSION
#define BW_APP_VERSION "0.0.0"
#endif

namespace bw {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (true) {
        auto at = text.find(separator, start);
        pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return pieces;
        start = at + 1;
    }
}

std::string twoDigits(std::int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "0%lld" : "%lld", static_cast<long long>(value));
    return text;
}

} // namespace

std::int64_t appVersionNumber(const std::string& bundleVersion) {
    auto pieces = split(bundleVersion, 'b');
    std::string build = pieces.size() == 2 ? pieces[1] : "0000";
    auto numbers = split(pieces[0], '.');
    std::int64_t major = 0, minor = 0, patch = 0;
    if (numbers.size() >= 1 && numbers.size() <= 3) {
        major = leadingInteger(numbers[0]);
        minor = numbers.size() >= 2 ? leadingInteger(numbers[1]) : 0;
        patch = numbers.size() == 3 ? leadingInteger(numbers[2]) : 0;
    }
    return leadingInteger(twoDigits(major) + twoDigits(minor) + twoDigits(patch) + build);
}

std::string appBundleVersion() {
    return BW_APP_VERSION;
}

std::int64_t APPVersion() {
    return appVersionNumber(appBundleVersion());
}

} // namespace bw
