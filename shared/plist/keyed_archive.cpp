#include "plist/keyed_archive.h"

#include "plist/binary_plist_reader.h"
#include "plist/binary_plist_writer.h"
#include "plist/keyed_archive_reader.h"
#include "plist/keyed_archive_writer.h"

#include <syslog.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <tuple>
#include <unordered_map>

namespace bw {

// ---------------------------------------------------------------------------------------------------------
// ArchiveValue

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

// ---------------------------------------------------------------------------------------------------------
// Trees on top of the object-by-object reader and writer

namespace {

std::optional<std::uint64_t> encode(KeyedArchiveWriter& writer, const ArchiveValue& value, int depth) {
    if (depth > KeyedArchiveReader::kMaxDepth) {
        syslog(LOG_ERR, "keyed archive: objects nested too deeply");
        return std::nullopt;
    }
    switch (value.kind) {
    case ArchiveValue::Kind::Null:
        return 0;
    case ArchiveValue::Kind::Bool:
        return writer.boolean(value.boolValue);
    case ArchiveValue::Kind::Int:
        return writer.integer(value.intValue);
    case ArchiveValue::Kind::UInt:
        return writer.unsignedInteger(value.uintValue);
    case ArchiveValue::Kind::Real:
        return writer.real(value.realValue);
    case ArchiveValue::Kind::String:
        return writer.string(value.stringValue);
    case ArchiveValue::Kind::Array: {
        const std::uint64_t uid = writer.reserve();
        std::vector<std::uint64_t> items;
        items.reserve(value.items.size());
        for (const auto& item : value.items) {
            auto ref = encode(writer, item, depth + 1);
            if (!ref)
                return std::nullopt;
            items.push_back(*ref);
        }
        writer.setArray(uid, value.classes.empty() ? std::vector<std::string>{"NSArray"} : value.classes, items);
        return uid;
    }
    case ArchiveValue::Kind::Dictionary: {
        const std::uint64_t uid = writer.reserve();
        std::vector<std::uint64_t> keys, values;
        keys.reserve(value.entries.size());
        values.reserve(value.entries.size());
        for (const auto& [key, item] : value.entries)
            keys.push_back(writer.string(key));
        for (const auto& [key, item] : value.entries) {
            auto ref = encode(writer, item, depth + 1);
            if (!ref)
                return std::nullopt;
            values.push_back(*ref);
        }
        writer.setDictionary(uid, value.classes.empty() ? std::vector<std::string>{"NSDictionary"} : value.classes,
                             keys, values);
        return uid;
    }
    case ArchiveValue::Kind::Object: {
        if (value.classes.empty() || value.classes.front().empty()) {
            syslog(LOG_ERR, "keyed archive: object without a class name");
            return std::nullopt;
        }
        const std::uint64_t uid = writer.reserve();
        std::vector<KeyedArchiveWriter::Member> members;
        members.reserve(value.entries.size());
        for (const auto& [key, item] : value.entries) {
            if (key.empty() || key.front() == '$') {
                syslog(LOG_ERR, "keyed archive: coder key '%s' is reserved", key.c_str());
                return std::nullopt;
            }
            auto ref = encode(writer, item, depth + 1);
            if (!ref)
                return std::nullopt;
            members.emplace_back(key, *ref);
        }
        writer.setObject(uid, value.classes, members);
        return uid;
    }
    }
    return std::nullopt;
}

constexpr int kMaxPlistDepth = 512;

std::optional<std::uint32_t> flatten(BinaryPlistWriter& writer, const PlistValue& value, int depth) {
    if (depth > kMaxPlistDepth)
        return std::nullopt;
    switch (value.kind) {
    case PlistValue::Kind::Bool:
        return writer.addBool(value.boolValue);
    case PlistValue::Kind::Int:
        return writer.addInt(value.intValue);
    case PlistValue::Kind::UInt:
        return writer.addUInt(value.uintValue);
    case PlistValue::Kind::Real:
        return writer.addReal(value.realValue);
    case PlistValue::Kind::String:
        return writer.addString(value.stringValue);
    case PlistValue::Kind::Uid:
        return writer.addUid(value.uintValue);
    case PlistValue::Kind::Array: {
        std::vector<std::uint32_t> items;
        for (const auto& item : value.items) {
            auto ref = flatten(writer, item, depth + 1);
            if (!ref)
                return std::nullopt;
            items.push_back(*ref);
        }
        return writer.addArray(items);
    }
    case PlistValue::Kind::Dictionary: {
        std::vector<std::uint32_t> keys, values;
        for (const auto& [key, item] : value.entries) {
            keys.push_back(writer.addString(key));
            auto ref = flatten(writer, item, depth + 1);
            if (!ref)
                return std::nullopt;
            values.push_back(*ref);
        }
        return writer.addDictionary(keys, values);
    }
    }
    return std::nullopt;
}

// A property-list tree within the same bounds as archives: steps and bytes in proportion to the data.
class PlistTreeReader {
public:
    explicit PlistTreeReader(std::span<const std::uint8_t> data)
        : m_plist(data), m_steps(data.size() / 2 + 4096), m_bytes(8 * data.size() + (1u << 20)) {}

    std::optional<PlistValue> read() {
        if (!m_plist.open())
            return std::nullopt;
        return object(m_plist.topObject(), 0);
    }

private:
    bool spend(std::uint64_t bytes) {
        if (m_steps == 0 || bytes + sizeof(PlistValue) > m_bytes) {
            syslog(LOG_ERR, "keyed archive: objects nested too deeply or shared too often");
            m_steps = 0;
            return false;
        }
        --m_steps;
        m_bytes -= bytes + sizeof(PlistValue);
        return true;
    }

    std::optional<PlistValue> object(std::uint64_t index, int depth) {
        if (depth > kMaxPlistDepth || !spend(0))
            return std::nullopt;
        auto found = m_plist.object(index);
        if (!found)
            return std::nullopt;
        PlistValue value;
        switch (found->kind) {
        case BinaryPlistReader::Kind::Bool:
            value.kind = PlistValue::Kind::Bool;
            value.boolValue = found->boolValue;
            return value;
        case BinaryPlistReader::Kind::UInt:
            value.kind = PlistValue::Kind::UInt;
            value.uintValue = found->uintValue;
            return value;
        case BinaryPlistReader::Kind::Real:
            value.kind = PlistValue::Kind::Real;
            value.realValue = found->realValue;
            return value;
        case BinaryPlistReader::Kind::Uid:
            value.kind = PlistValue::Kind::Uid;
            value.uintValue = found->uintValue;
            return value;
        case BinaryPlistReader::Kind::String:
            if (!spend(m_plist.textLength(*found)))
                return std::nullopt;
            value.kind = PlistValue::Kind::String;
            value.stringValue = m_plist.text(*found);
            return value;
        case BinaryPlistReader::Kind::Array:
            value.kind = PlistValue::Kind::Array;
            for (std::uint64_t k = 0; k < found->count; ++k) {
                auto item = object(m_plist.reference(*found, k), depth + 1);
                if (!item)
                    return std::nullopt;
                value.items.push_back(std::move(*item));
            }
            return value;
        case BinaryPlistReader::Kind::Dictionary:
            value.kind = PlistValue::Kind::Dictionary;
            for (std::uint64_t k = 0; k < found->count; ++k) {
                auto key = object(m_plist.reference(*found, k), depth + 1);
                if (!key || key->kind != PlistValue::Kind::String) {
                    syslog(LOG_ERR, "keyed archive: dictionary key is not a string");
                    return std::nullopt;
                }
                auto item = object(m_plist.reference(*found, found->count + k), depth + 1);
                if (!item)
                    return std::nullopt;
                value.entries.emplace_back(std::move(key->stringValue), std::move(*item));
            }
            return value;
        }
        return std::nullopt;
    }

    BinaryPlistReader m_plist;
    std::uint64_t m_steps;
    std::uint64_t m_bytes;
};

} // namespace

std::optional<Bytes> binaryPlistData(const PlistValue& root) {
    BinaryPlistWriter writer;
    auto top = flatten(writer, root, 0);
    if (!top)
        return std::nullopt;
    return writer.finish(*top);
}

std::optional<PlistValue> parseBinaryPlist(std::span<const std::uint8_t> data) {
    return PlistTreeReader(data).read();
}

std::optional<Bytes> archivedDataWithRootObject(const ArchiveValue& root) {
    if (root.kind == ArchiveValue::Kind::Null) {
        syslog(LOG_ERR, "keyed archive: no root object");
        return std::nullopt;
    }
    KeyedArchiveWriter writer;
    if (!encode(writer, root, 0))
        return std::nullopt;
    return writer.finish();
}

std::optional<ArchiveValue> unarchiveRootObject(std::span<const std::uint8_t> archive) {
    KeyedArchiveReader reader(archive);
    if (!reader.open())
        return std::nullopt;
    // A tree costs its nodes as well as its text.
    reader.setNodeCost(sizeof(ArchiveValue));
    return reader.decode(*reader.root(), 0);
}

} // namespace bw
