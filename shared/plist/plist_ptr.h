#pragma once
// Owning handle for libplist nodes, so every plist_t has one visible owner.

#include <plist/plist.h>

#include <memory>

namespace bw {

struct PlistDeleter {
    void operator()(plist_t node) const {
        if (node)
            plist_free(node);
    }
};

// A plist_t is a void*, so the handle stores the node pointer itself.
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

inline PlistPtr plistCopy(plist_t node) {
    return PlistPtr(node ? plist_copy(node) : nullptr);
}

} // namespace bw
