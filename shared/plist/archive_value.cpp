#include "plist/archive_value.h"

#include <cmath>
#include <limits>
#include <utility>

namespace bw {

namespace {

// A value of `kind` with one member set: every factory below is one of these.
template <typename Field, typename Value>
ArchiveValue valueWith(ArchiveValue::Kind kind, Field ArchiveValue::*field, Value&& value) {
    ArchiveValue v;
    v.kind = kind;
    v.*field = std::forward<Value>(value);
    return v;
}

std::vector<std::string> mutableClasses(bool isMutable, const char* mutableName, const char* name) {
    return isMutable ? std::vector<std::string>{mutableName, name} : std::vector<std::string>{};
}

} // namespace

ArchiveValue ArchiveValue::fromBool(bool value) {
    return valueWith(Kind::Bool, &ArchiveValue::boolValue, value);
}

ArchiveValue ArchiveValue::fromInt(std::int64_t value) {
    return valueWith(Kind::Int, &ArchiveValue::intValue, value);
}

ArchiveValue ArchiveValue::fromUInt(std::uint64_t value) {
    return valueWith(Kind::UInt, &ArchiveValue::uintValue, value);
}

ArchiveValue ArchiveValue::fromReal(double value) {
    return valueWith(Kind::Real, &ArchiveValue::realValue, value);
}

ArchiveValue ArchiveValue::fromString(std::string value) {
    return valueWith(Kind::String, &ArchiveValue::stringValue, std::move(value));
}

ArchiveValue ArchiveValue::array(bool isMutable) {
    return valueWith(Kind::Array, &ArchiveValue::classes, mutableClasses(isMutable, "NSMutableArray", "NSArray"));
}

ArchiveValue ArchiveValue::dictionary(bool isMutable) {
    return valueWith(Kind::Dictionary, &ArchiveValue::classes,
                     mutableClasses(isMutable, "NSMutableDictionary", "NSDictionary"));
}

ArchiveValue ArchiveValue::object(std::vector<std::string> classChain) {
    return valueWith(Kind::Object, &ArchiveValue::classes, std::move(classChain));
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
