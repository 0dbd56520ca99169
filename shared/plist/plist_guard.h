#pragma once
// Parsing property lists that another program, or another user, may have written.
//
// libplist 2.2 parses nested containers recursively and expands an object that a binary list
// references twice into two copies, so a small hostile file can exhaust the stack (deep nesting) or
// memory (a chain of arrays that each reference the next one twice doubles at every level). Every
// reader of a file it did not write itself goes through parsePlist, which measures the structure
// first and refuses what exceeds the limits.

#include "plist/plist_ptr.h"

#include <cstddef>
#include <string_view>

namespace bw {

struct PlistLimits {
    std::size_t maxDepth = 512;       // containers inside containers
    std::size_t maxNodes = 4'000'000; // nodes of the parsed tree, shared objects counted each time
};

// True when the data is a binary property list ("bplist00" magic).
bool isBinaryPlist(std::string_view data);

// Whether the data stays within the limits: the binary object graph is walked without recursion; XML
// nesting is counted on the tags. Structurally broken binary data is refused too.
bool plistWithinLimits(std::string_view data, const PlistLimits& limits = {});

// The data parsed as a binary or XML property list; nothing when it is empty, unparsable or beyond
// the limits.
PlistPtr parsePlist(std::string_view data, const PlistLimits& limits = {});

} // namespace bw
