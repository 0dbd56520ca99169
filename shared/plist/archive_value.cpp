#include "plist/archive_value.h"

#include <cmath>
#include <limits>

namespace bw {

ArchiveValue ArchiveValue::fromBool(bool value) {
    ArchiveValue v;
    v.kind = Kind::Bool;
    v.boolValue = value;
    return v;
}

ArchiveValue ArchiveValue::fromInt(std::int64_t value) {
    ArchiveValue v;
    v.kind = Kind::Int;
    v.intValue = value;
    return v;
}

ArchiveValue ArchiveValue::fromUInt(std::uint64_t value) {
    ArchiveValue v;
    v.kind = Kind::UInt;
    v.uintValue = value;
    return v;
}

ArchiveValue ArchiveValue::fromReal(double value) {
    ArchiveValue v;
    v.kind = Kind::Real;
    v.realValue = value;
    return v;
}

ArchiveValue ArchiveValue::fromString(std::string value) {
    ArchiveValue v;
    v.kind = Kind::String;
    v.stringValue = std::move(value);
    return v;
}

ArchiveValue ArchiveValue::array(bool isMutable) {
    ArchiveValue v;
    v.kind = Kind::Array;
    if (isMutable)
        v.classes = {"NSMutableArray", "NSArray"};
    return v;
}

ArchiveValue ArchiveValue::dictionary(bool isMutable) {
    ArchiveValue v;
    v.kind = Kind::Dictionary;
    if (isMutable)
        v.classes = {"NSMutableDictionary", "NSDictionary"};
    return v;
}

ArchiveValue ArchiveValue::object(std::vector<std::string> classChain) {
    ArchiveValue v;
    v.kind = Kind::Object;
    v.classes = std::move(classChain);
    return v;
}

std::string ArchiveValue::className() const {
    switch (kind) {
    case Kind::Null:
        return {};
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
    case Kind::Real:
        return "NSNumber";
    case Kind::String:
        return "NSString";
    case Kind::Array:
        return classes.empty() ? "NSArray" : classes.front();
    case Kind::Dictionary:
        return classes.empty() ? "NSDictionary" : classes.front();
    case Kind::Object:
        return classes.empty() ? std::string() : classes.front();
    }
    return {};
}

const ArchiveValue* ArchiveValue::find(const std::string& key) const {
    for (const auto& [k, v] : entries)
        if (k == key)
            return &v;
    return nullptr;
}

std::optional<double> ArchiveValue::asDouble() const {
    switch (kind) {
    case Kind::Bool:
        return boolValue ? 1.0 : 0.0;
    case Kind::Int:
        return static_cast<double>(intValue);
    case Kind::UInt:
        return static_cast<double>(uintValue);
    case Kind::Real:
        return realValue;
    default:
        return std::nullopt;
    }
}

std::optional<std::uint64_t> ArchiveValue::asUInt64() const {
    switch (kind) {
    case Kind::Bool:
        return boolValue ? 1u : 0u;
    case Kind::Int:
        return static_cast<std::uint64_t>(intValue);
    case Kind::UInt:
        return uintValue;
    case Kind::Real:
        // Out-of-range conversions are undefined in C++; saturate instead.
        if (!(realValue > 0.0))
            return 0u;
        if (realValue >= 18446744073709551616.0)
            return std::numeric_limits<std::uint64_t>::max();
        return static_cast<std::uint64_t>(realValue);
    default:
        return std::nullopt;
    }
}

std::optional<bool> ArchiveValue::asBool() const {
    switch (kind) {
    case Kind::Bool:
        return boolValue;
    case Kind::Int:
        return intValue != 0;
    case Kind::UInt:
        return uintValue != 0;
    case Kind::Real:
        return realValue != 0.0;
    default:
        return std::nullopt;
    }
}

} // namespace bw
