#pragma once
// Which names of the trash folder the daemon leaves alone: the user's name and extension filters
// (compared without regard to case, UTF-8 aware) and the largest file worth keeping.

#include "settings/settings.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

class NameFilter {
public:
    const std::vector<FilterEntry>& filters() const { return m_filters; }
    void setFilters(std::vector<FilterEntry> filters) { m_filters = std::move(filters); }
    // Files larger than this many megabytes (10^6 bytes) are left in the trash; below 1 none is.
    std::int64_t sizeLimitMB() const { return m_sizeLimitMB; }
    void setSizeLimitMB(std::int64_t megabytes) { m_sizeLimitMB = megabytes; }

    // Type 1 rules match part of the name without its extension, type 2 rules the whole extension;
    // other types match nothing.
    bool isFiltered(const std::string& name) const;
    // Whether a regular file of this size is past the limit.
    bool isTooLarge(std::uint64_t bytes) const;
    // The same for the entry `name` of an open folder, given its listing type (DT_*): folders and
    // links are never too large, and neither is an entry that cannot be examined.
    bool isTooLargeAt(int dirFd, const char* name, unsigned char type) const;

private:
    std::vector<FilterEntry> m_filters;
    std::int64_t m_sizeLimitMB = 0;
};

} // namespace bw
