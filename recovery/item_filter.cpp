#include "item_filter.h"

#include "files/no_follow.h"
#include "plist/reference_time.h"
#include "text/text_folding.h"

#include <cmath>
#include <cstring>
#include <ctime>

namespace bw {

namespace {

std::optional<double> parseNumber(std::string_view text) {
    if (text.empty() || text.size() > 32)
        return std::nullopt;
    const std::string copy(text);
    for (char c : copy)
        if (!((c >= '0' && c <= '9') || c == '.'))
            return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (!end || *end || !std::isfinite(value) || value < 0)
        return std::nullopt;
    return value;
}

} // namespace

std::vector<RecoveryItem> filterItems(const std::vector<RecoveryItem>& items, const ItemFilter& filter) {
    const std::string needle = filter.search ? foldedForSearch(*filter.search) : std::string();
    std::vector<RecoveryItem> kept;
    for (const RecoveryItem& item : items) {
        if (filter.insideFolder && !(item.originalPath && pathIsBelow(*item.originalPath, *filter.insideFolder)))
            continue;
        if (filter.search && !foldedContains(foldedForSearch(item.displayName), needle))
            continue;
        if (filter.since && item.cacheDate < *filter.since)
            continue;
        if (filter.until && item.cacheDate > *filter.until)
            continue;
        if (filter.largerThan || filter.smallerThan) {
            if (item.isFolder)
                continue;
            const std::uint64_t size = item.itemSize.value_or(0);
            if ((filter.largerThan && size <= *filter.largerThan) || (filter.smallerThan && size >= *filter.smallerThan))
                continue;
        }
        kept.push_back(item);
    }
    return kept;
}

std::optional<double> parseMomentText(std::string_view text, double now) {
    if (text.size() >= 2) {
        static constexpr struct {
            char unit;
            double seconds;
        } kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 7 * 86400}};
        for (const auto& unit : kUnits)
            if (text.back() == unit.unit)
                if (const auto count = parseNumber(text.substr(0, text.size() - 1)))
                    return now - *count * unit.seconds;
    }
    static constexpr const char* kFormats[] = {"%Y-%m-%d", "%Y-%m-%dT%H:%M", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M:%S",
                                               "%Y-%m-%d %H:%M:%S"};
    const std::string copy(text);
    for (const char* format : kFormats) {
        struct tm parts;
        std::memset(&parts, 0, sizeof parts);
        const char* end = ::strptime(copy.c_str(), format, &parts);
        if (!end || *end)
            continue;
        parts.tm_isdst = -1;
        const time_t unix = std::mktime(&parts);
        if (unix == static_cast<time_t>(-1))
            return std::nullopt;
        return referenceTimeFromUnix(static_cast<double>(unix));
    }
    return std::nullopt;
}

std::optional<std::uint64_t> parseSizeText(std::string_view text) {
    std::size_t digits = 0;
    while (digits < text.size() && ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.'))
        ++digits;
    const auto number = parseNumber(text.substr(0, digits));
    if (!number)
        return std::nullopt;
    std::string unit(text.substr(digits));
    for (char& c : unit)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (!unit.empty() && unit.back() == 'B' && unit != "B")
        unit.pop_back(); // "10MB" as "10M"
    static constexpr struct {
        const char* unit;
        double factor;
    } kUnits[] = {{"", 1},         {"B", 1},          {"K", 1e3},          {"M", 1e6},          {"G", 1e9},
                  {"T", 1e12},     {"KI", 1024.0},    {"MI", 1048576.0},   {"GI", 1073741824.0}, {"TI", 1099511627776.0}};
    for (const auto& u : kUnits) {
        if (unit != u.unit)
            continue;
        const double bytes = std::floor(*number * u.factor);
        if (bytes > 1.8e19)
            return std::nullopt;
        return static_cast<std::uint64_t>(bytes);
    }
    return std::nullopt;
}

std::string absoluteCleanPath(const std::string& path, const std::string& workingFolder) {
    const std::string whole = !path.empty() && path[0] == '/' ? path : workingFolder + "/" + path;
    std::vector<std::string> parts;
    for (std::string& part : pathComponents(whole)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }
    std::string clean;
    for (const std::string& part : parts)
        clean += "/" + part;
    return clean.empty() ? "/" : clean;
}

bool pathIsBelow(const std::string& path, const std::string& folder) {
    if (folder == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

} // namespace bw
