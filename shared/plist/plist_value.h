#pragma once
// PlistValue: a binary property list as a plain tree, written and read within the same bounds as
// keyed archives.

#include "files/bytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace bw {

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
