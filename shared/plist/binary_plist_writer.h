#pragma once
// A binary property list built object by object. Objects are kept in compact form (encoded scalars in
// one buffer, references in another), so that a list of millions of objects costs a few dozen bytes
// per object while it is built, and the list is laid out once at the end.

#include "files/bytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace bw {

class BinaryPlistWriter {
public:
    // Each add* answers the object's index. Equal scalars (booleans, numbers, strings, UIDs) are stored
    // once, as Apple's writer does; containers are always new objects.
    std::uint32_t addBool(bool value);
    // Negative numbers are signed 8-byte integers; others use the shortest width.
    std::uint32_t addInt(std::int64_t value);
    // Values above INT64_MAX are 16-byte integers with a zero high half, as Apple's writer does.
    std::uint32_t addUInt(std::uint64_t value);
    std::uint32_t addReal(double value);
    // ASCII text is stored as bytes, anything else as UTF-16; bytes that are not UTF-8 travel as the lone
    // surrogates U+DC80..U+DCFF.
    std::uint32_t addString(std::string_view utf8);
    std::uint32_t addUid(std::uint64_t uid);
    std::uint32_t addArray(std::span<const std::uint32_t> items);
    std::uint32_t addDictionary(std::span<const std::uint32_t> keys, std::span<const std::uint32_t> values);

    std::size_t objectCount() const { return m_objects.size(); }
    // Bytes the finished list will at least take (what limits are checked against while building).
    std::uint64_t sizeSoFar() const { return m_scalars.size() + m_refs.size() * 2 + m_objects.size() * 3; }

    // The whole list with object `top` as its root; nothing when it grew past what this writer can lay
    // out (4 GiB of scalars or 2^32 objects).
    std::optional<Bytes> finish(std::uint32_t top) const;

private:
    enum class Kind : std::uint8_t { Scalar, Array, Dictionary };
    struct Object {
        std::uint32_t start = 0;  // in m_scalars (Scalar) or m_refs (containers)
        std::uint32_t length = 0; // bytes (Scalar) or references (containers)
        Kind kind = Kind::Scalar;
    };

    std::uint32_t addEncodedScalar();
    std::uint32_t addContainer(Kind kind, std::span<const std::uint32_t> first, std::span<const std::uint32_t> second);
    std::uint64_t hashOf(std::span<const std::uint8_t> bytes) const;
    std::span<const std::uint8_t> scalarBytes(const Object& object) const;
    void growSlots();

    std::vector<Object> m_objects;
    std::vector<std::uint8_t> m_scalars;
    std::vector<std::uint32_t> m_refs;
    // Open addressing over the scalars: object index + 1, 0 for a free slot.
    std::vector<std::uint32_t> m_slots;
    std::size_t m_scalarCount = 0;
    std::vector<std::uint32_t> m_uidObjects; // UID -> its object index + 1, 0 when not added yet
    Bytes m_encoding; // the scalar being added
    bool m_failed = false;
};

} // namespace bw
