#pragma once
// Reading a keyed archive (NSKeyedArchiver layout) in place, with every cost bounded by the archive's
// own size: a reader never does more work, nor builds more output, than an archive of that size written
// by our writer can need, whatever a hostile file holds.
//
// Bounds, derived from the archive's size n (the bytes after inflating):
//  - steps: every object reached and every dictionary key compared is one step; n / 2 + 4096 of them.
//    Our writer spends more than 60 bytes on each index entry or added-list entry, which takes fewer
//    than 30 steps to read.
//  - output: every decoded string counts its bytes each time it is decoded, and callers charge what each
//    result they keep costs them; 8 n + 1 MiB in all. An index entry of our writer takes more than 100
//    bytes and costs at most its name (255 bytes), its stored name and 128 bytes of bookkeeping.
//  - depth: 256 levels of objects, as the writer refuses deeper ones.
// So a long string referenced many times costs its length at every reference and ends the reading
// early instead of being copied without count.

#include "plist/binary_plist_reader.h"
#include "plist/keyed_archive.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace bw {

class KeyedArchiveReader {
public:
    static constexpr int kMaxDepth = 256;

    explicit KeyedArchiveReader(std::span<const std::uint8_t> archive);

    // Checks the top level ("$archiver", "$top", "$objects"); false (one line logged) when it is not an archive.
    bool open();
    // The property-list object that UID 1, the root, names; nothing when there is none.
    std::optional<std::uint64_t> root() const { return m_root; }

    // Spends budget; false (one line logged, and every later call false too) once it is used up.
    bool step(std::uint64_t steps = 1);
    bool charge(std::uint64_t bytes);
    // What each generic decoded value costs besides its text (the generic reading charges it per node).
    void setNodeCost(std::uint64_t bytes) { m_nodeCost = bytes; }

    // The class chain (most derived first, without "NSObject") of the archived object at `index`, after
    // following UIDs; nothing when it is no object with a class description.
    std::optional<std::vector<std::string>> classChain(std::uint64_t index, int depth);

    // An archived object's members other than "$class": key and property-list index of the value.
    using MemberFunction = std::function<bool(const std::string& key, std::uint64_t value, int depth)>;
    bool forEachMember(std::uint64_t index, int depth, const MemberFunction& fn);
    // An archived dictionary's ("NS.keys"/"NS.objects") entries in order. A key that is not a string
    // fails the whole dictionary, or with `skipped` given, skips that entry alone and counts it.
    bool forEachEntry(std::uint64_t index, int depth, const MemberFunction& fn, std::size_t* skipped = nullptr);
    // Whether a failure came from the bounds (the whole archive is then refused), not from one value.
    bool exhausted() const { return m_exhausted; }

    // The value at a property-list index as a tree (UIDs followed, "$null" as Null). Within the bounds.
    std::optional<ArchiveValue> decode(std::uint64_t index, int depth);

private:
    using Object = BinaryPlistReader::Object;
    std::optional<Object> objectAt(std::uint64_t index);
    // A UID or {"CF$UID": n} names an archived object; anything else is stored inline.
    std::optional<std::uint64_t> uidOf(const Object& object);
    std::optional<std::uint64_t> member(const Object& dictionary, std::string_view key);
    // Follows UIDs to the object they name: the answer is a property-list index, or nothing for $null.
    bool resolve(std::uint64_t index, int depth, std::optional<std::uint64_t>& resolved);
    std::optional<ArchiveValue> decodeObject(std::uint64_t index, const Object& object, int depth);
    std::optional<ArchiveValue> failed(const char* why);
    // Takes `amount` from one budget; the line logged when it runs out is `before` "an archive of N
    // bytes" `after`.
    bool spend(std::uint64_t& left, std::uint64_t amount, const char* before, const char* after);

    BinaryPlistReader m_plist;
    std::uint64_t m_archiveSize = 0;
    Object m_objects; // the "$objects" array
    std::optional<std::uint64_t> m_root;
    std::uint64_t m_stepsLeft = 0;
    std::uint64_t m_bytesLeft = 0;
    std::uint64_t m_nodeCost = 0;
    bool m_exhausted = false;
    std::unordered_map<std::uint64_t, std::vector<std::string>> m_classChains;
};

} // namespace bw
