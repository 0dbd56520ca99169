#include "plist/plist_file.h"

#include "files/atomic_file.h"
#include "plist/plist_guard.h"

#include <fcntl.h>

#include <string_view>

namespace bw {

namespace {
constexpr std::size_t kMaxPlistFileSize = 16u * 1024u * 1024u;
}

PlistPtr getDictionaryInPList(const std::string& path) {
    if (path.empty())
        return nullptr;
    const WholeFile file = readFileAt(AT_FDCWD, path, kMaxPlistFileSize, true);
    if (file.error != 0 || file.bytes.empty())
        return nullptr;
    return parsePlist(std::string_view(reinterpret_cast<const char*>(file.bytes.data()), file.bytes.size()));
}

PlistPtr getObjectInPList(const std::string& path, const std::string& key) {
    PlistPtr root = getDictionaryInPList(path);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return nullptr;
    plist_t value = plist_dict_get_item(root.get(), key.c_str());
    return value ? plistCopy(value) : nullptr;
}

} // namespace bw
