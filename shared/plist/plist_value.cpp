#include "plist/plist_value.h"

#include "files/log_line.h"
#include "plist/binary_plist_reader.h"
#include "plist/binary_plist_writer.h"

#include <syslog.h>

#include <cstring>
#include <limits>

namespace bw {

namespace {

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
            bw::logLine(LOG_ERR, "binary property list: objects nested too deeply or shared too often");
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
                    bw::logLine(LOG_ERR, "binary property list: dictionary key is not a string");
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

} // namespace bw
