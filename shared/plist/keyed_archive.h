#pragma once
// Keyed archives in the NSKeyedArchiver layout (a binary property list with "$archiver", "$version",
// "$top" and a flat "$objects" table referenced by UIDs), for the batch index and the added list.
//
// ArchiveValue is a small object model: the archiver turns a tree of values into an archive, the
// unarchiver turns an archive into a tree. Strings are UTF-8 bytes; bytes that are not valid UTF-8
// travel as the lone surrogates U+DC80..U+DCFF (as file names on Linux may hold any byte).

#include "files/bytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace bw {

// The largest archive (inflated) that the index and added-list writers produce and that their readers
// accept. A batch whose index would pass it continues in a new batch folder; an added list is trimmed
// of its oldest keys. 32 MiB hold about 250,000 index entries of short names; readers never spend more
// than a few times this on one archive, whoever wrote it (see keyed_archive_reader.h).
inline constexpr std::size_t kMaxArchiveSize = 32u * 1024u * 1024u;

struct ArchiveValue {
    struct Entry;
    enum class Kind { Null, Bool, Int, UInt, Real, String, Array, Dictionary, Object };

    Kind kind = Kind::Null;
    bool boolValue = false;
    std::int64_t intValue = 0;   // Kind::Int
    std::uint64_t uintValue = 0; // Kind::UInt; read archives give every integer as UInt (two's complement bits)
    double realValue = 0.0;
    std::string stringValue;
    // Array: the items. Dictionary and Object: not used.
    std::vector<ArchiveValue> items;
    // Dictionary: key -> value. Object: coder key -> value (in encoding order).
    std::vector<Entry> entries;
    // Class chain of Array, Dictionary and Object, most derived first, without "NSObject"
    // (added when writing). Empty for an Array/Dictionary means the immutable class.
    std::vector<std::string> classes;

    static ArchiveValue null();
    static ArchiveValue fromBool(bool value);
    static ArchiveValue fromInt(std::int64_t value);
    static ArchiveValue fromUInt(std::uint64_t value);
    static ArchiveValue fromReal(double value);
    static ArchiveValue fromString(std::string value);
    static ArchiveValue array(bool isMutable = false);
    static ArchiveValue dictionary(bool isMutable = false);
    static ArchiveValue object(std::vector<std::string> classChain);

    // The most derived class name ("NSString" for strings, "NSNumber" for numbers, "" for null).
    std::string className() const;
    // Object/Dictionary: the value stored under key, or null when there is none.
    const ArchiveValue* find(const std::string& key) const;
    // Numbers: the value in the asked type (booleans are 0/1, reals truncated); nothing for non-numbers.
    std::optional<double> asDouble() const;
    std::optional<std::uint64_t> asUInt64() const;
    std::optional<bool> asBool() const;
    bool isNumber() const {
        return kind == Kind::Bool || kind == Kind::Int || kind == Kind::UInt || kind == Kind::Real;
    }
};

// One key and its value (a pair, spelled out so that the type is complete where vectors need it).
struct ArchiveValue::Entry {
    Entry(std::string key, ArchiveValue value) : first(std::move(key)), second(std::move(value)) {}
    std::string first;
    ArchiveValue second;
};

inline ArchiveValue ArchiveValue::null() {
    return {};
}

// The binary property list of the keyed archive whose root object is `root`; nothing on failure
// (a root that is null, or a dictionary key or class name that cannot be written).
std::optional<Bytes> archivedDataWithRootObject(const ArchiveValue& root);

// The root object of a keyed archive (binary property list); nothing when the bytes are not a
// well-formed archive: wrong top-level keys, UIDs out of range, reference cycles, unknown kinds of
// objects, containers too deeply nested, or more work or output than the archive's size allows.
std::optional<ArchiveValue> unarchiveRootObject(std::span<const std::uint8_t> archive);

// Lower level: the binary property list writer used by the archiver, exposed for tests.
// Every integer above INT64_MAX is written as a 16-byte integer, as Apple's writer does.
struct PlistValue {
    struct Entry;
    enum class Kind { Bool, Int, UInt, Real, String, Uid, Array, Dictionary };
    Kind kind = Kind::Bool;
    bool boolValue = false;
    std::int64_t intValue = 0;
    std::uint64_t uintValue = 0; // UInt and Uid
    double realValue = 0.0;
    std::string stringValue;
    std::vector<PlistValue> items; // Array
    std::vector<Entry> entries;    // Dictionary
};
struct PlistValue::Entry {
    Entry(std::string key, PlistValue value) : first(std::move(key)), second(std::move(value)) {}
    std::string first;
    PlistValue second;
};
std::optional<Bytes> binaryPlistData(const PlistValue& root);
// A binary property list as a tree: every offset, count and reference is checked, nesting and sharing
// are bounded in proportion to the data, cycles are refused. Integers come back as UInt (two's
// complement bits).
std::optional<PlistValue> parseBinaryPlist(std::span<const std::uint8_t> data);

} // namespace bw
