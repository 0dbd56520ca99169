#pragma once
// The filter list being edited: name-fragment (type 1) and extension (type 2) rules. An extension rule
// never holds a dot, whichever order type and rule are edited in.

#include "settings/settings.h"

#include <set>
#include <string>
#include <vector>

namespace bw {

class FilterList {
public:
    FilterList() = default;
    explicit FilterList(std::vector<FilterEntry> filters) : _filters(std::move(filters)) {}

    const std::vector<FilterEntry>& filters() const { return _filters; }
    std::size_t size() const { return _filters.size(); }

    // Appends {type 1, rule ""}.
    void addFilter();
    // Removes every listed row at once (rows out of range are ignored).
    void removeFilters(const std::set<std::size_t>& rows);
    // The type pop-up chose item `index` (0 name fragment, 1 extension): the type becomes index + 1 and
    // an extension's rule loses its dots.
    void setTypeIndex(std::size_t row, int index);
    // A rule was typed; an extension's rule loses its dots.
    void setRule(std::size_t row, const std::string& text);

    bool wasModified() const { return _modified; }
    void setWasModified(bool modified) { _modified = modified; }

private:
    std::vector<FilterEntry> _filters;
    bool _modified = false;
};

// The text without any ".".
std::string withoutDots(const std::string& text);

} // namespace bw
