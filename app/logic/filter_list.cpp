#include "filter_list.h"

#include <algorithm>

namespace bw {

std::string withoutDots(const std::string& text) {
    std::string out = text;
    out.erase(std::remove(out.begin(), out.end(), '.'), out.end());
    return out;
}

void FilterList::addFilter() {
    _modified = true;
    _filters.push_back({1, ""});
}

void FilterList::removeFilters(const std::set<std::size_t>& rows) {
    _modified = true;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        if (*it < _filters.size())
            _filters.erase(_filters.begin() + static_cast<std::ptrdiff_t>(*it));
    }
}

void FilterList::setTypeIndex(std::size_t row, int index) {
    _modified = true;
    if (row >= _filters.size())
        return;
    std::string rule = _filters[row].rule;
    if (index == 1)
        rule = withoutDots(rule);
    _filters[row] = {index + 1, rule};
}

void FilterList::setRule(std::size_t row, const std::string& text) {
    _modified = true;
    if (row >= _filters.size())
        return;
    std::int64_t type = _filters[row].type;
    _filters[row] = {type, type == 2 ? withoutDots(text) : text};
}

} // namespace bw
