#pragma once
// Writing a keyed archive (NSKeyedArchiver layout) object by object, without building a tree first:
// "$null" is UID 0, an object takes its UID before its members are encoded, one class description per
// class is appended after the first object of that class, and strings and numbers are stored inline and
// shared when equal.

#include "plist/binary_plist_writer.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw {

class KeyedArchiveWriter {
public:
    KeyedArchiveWriter();

    // The next UID, for an object whose members are encoded after it; fill it with one set* call.
    std::uint64_t reserve();
    // Inline values, shared when equal; the answer is their UID.
    std::uint64_t string(std::string_view text);
    std::uint64_t boolean(bool value);
    std::uint64_t integer(std::int64_t value);
    std::uint64_t unsignedInteger(std::uint64_t value);
    std::uint64_t real(double value);

    // A class chain lists the most derived class first; "NSObject" is added at its end when missing.
    using Member = std::pair<std::string_view, std::uint64_t>;
    void setObject(std::uint64_t uid, const std::vector<std::string>& classChain, std::span<const Member> members);
    void setDictionary(std::uint64_t uid, const std::vector<std::string>& classChain,
                       std::span<const std::uint64_t> keys, std::span<const std::uint64_t> values);
    void setArray(std::uint64_t uid, const std::vector<std::string>& classChain, std::span<const std::uint64_t> items);

    // Bytes the archive will at least take: what size limits are checked against while it grows.
    std::uint64_t sizeSoFar() const { return m_plist.sizeSoFar() + m_uids.size() * 2; }
    // The archive with UID 1 as its root; nothing when a UID was left unfilled or the list failed.
    std::optional<Bytes> finish();

private:
    std::uint64_t inlineValue(std::uint32_t plistIndex);
    std::uint64_t classUid(const std::vector<std::string>& chain);
    std::span<const std::uint32_t> uidRefs(std::span<const std::uint64_t> uids, std::vector<std::uint32_t>& refs);

    BinaryPlistWriter m_plist;
    std::vector<std::uint32_t> m_uids;          // UID -> its object in the property list
    std::vector<bool> m_filled;                 // UID -> set by now
    std::vector<std::uint32_t> m_uidOfInline;   // property-list object -> UID + 1 of the inline value it is
    std::map<std::vector<std::string>, std::uint64_t> m_classes;
    std::vector<std::string> m_lastClass;
    std::uint64_t m_lastClassUid = 0;
    std::vector<std::uint32_t> m_scratch;
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::array<std::uint32_t, 3> m_dictionaryNames{kNone, kNone, kNone}; // "NS.keys", "NS.objects", "$class"
};

} // namespace bw
