#pragma once
// A binary property list read in place: each object is decoded only when asked for, straight from the
// bytes, so that reading a large list costs little more memory than the list itself. Every offset, count
// and reference is checked against the data before it is used; nothing here recurses.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bw {

class BinaryPlistReader {
public:
    enum class Kind { Bool, UInt, Real, String, Uid, Array, Dictionary };

    // One object as found in the data. Containers and strings are not copied: `at` says where their
    // references or characters start and `count` how many there are (a dictionary: how many pairs).
    struct Object {
        Kind kind = Kind::Bool;
        bool boolValue = false;
        std::uint64_t uintValue = 0; // UInt (two's complement bits for negatives) and Uid
        double realValue = 0.0;
        std::uint64_t at = 0;
        std::uint64_t count = 0;
        bool utf16 = false; // String: big-endian UTF-16 units instead of bytes
    };

    explicit BinaryPlistReader(std::span<const std::uint8_t> data) : m_data(data) {}

    // Checks the magic, the trailer and the offset table; false (one line logged) when they are broken.
    bool open();
    std::uint64_t objectCount() const { return m_count; }
    std::uint64_t topObject() const { return m_top; }

    // The object at `index`; nothing (one line logged) when the index, its offset or its extent is out of range.
    std::optional<Object> object(std::uint64_t index) const;
    // Reference k of a container: an array's item k; a dictionary's key k for k < count, else value k - count.
    // The answer is not checked: object() checks it when it is followed.
    std::uint64_t reference(const Object& container, std::uint64_t k) const;

    // A string's text as UTF-8 bytes; UTF-16 strings bring back raw bytes carried as the lone
    // surrogates U+DC80..U+DCFF, and other lone surrogates as U+FFFD.
    std::string text(const Object& string) const;
    // At least the length of text(), without building it (what decoding it may cost).
    std::size_t textLength(const Object& string) const;
    // Whether a string object holds exactly these (ASCII) characters.
    bool textEquals(const Object& string, std::string_view ascii) const;

private:
    std::uint64_t bigEndian(std::uint64_t at, unsigned width) const;
    bool inObjects(std::uint64_t at, std::uint64_t length) const;
    std::optional<std::uint64_t> countAt(std::uint64_t& at, std::uint8_t marker) const;
    std::optional<Object> parse(std::uint64_t at) const;

    std::span<const std::uint8_t> m_data;
    unsigned m_offsetSize = 0;
    unsigned m_refSize = 0;
    std::uint64_t m_tableOffset = 0;
    std::uint64_t m_count = 0;
    std::uint64_t m_top = 0;
};

} // namespace bw
