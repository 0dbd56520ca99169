#pragma once
// ArchiveValue: the small object model of keyed archives. The archiver turns a tree of these into an
// archive and the unarchiver turns an archive into one. Strings are UTF-8 bytes; bytes that are not
// valid UTF-8 travel as the lone surrogates U+DC80..U+DCFF (as file names on Linux may hold any byte).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bw {

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

} // namespace bw
