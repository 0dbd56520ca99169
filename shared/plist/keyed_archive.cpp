#include "plist/keyed_archive.h"

#include "files/log_line.h"
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
// Trees on top of the object-by-object reader and writer

namespace {

std::optional<std::uint64_t> encode(KeyedArchiveWriter& writer, const ArchiveValue& value, int depth) {
    if (depth > KeyedArchiveReader::kMaxDepth) {
        bw::logLine(LOG_ERR, "keyed archive: objects nested too deeply");
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
            bw::logLine(LOG_ERR, "keyed archive: object without a class name");
            return std::nullopt;
        }
        const std::uint64_t uid = writer.reserve();
        std::vector<KeyedArchiveWriter::Member> members;
        members.reserve(value.entries.size());
        for (const auto& [key, item] : value.entries) {
            if (key.empty() || key.front() == '$') {
                bw::logLine(LOG_ERR, "keyed archive: coder key '%s' is reserved", key.c_str());
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

} // namespace

std::optional<Bytes> archivedDataWithRootObject(const ArchiveValue& root) {
    if (root.kind == ArchiveValue::Kind::Null) {
        bw::logLine(LOG_ERR, "keyed archive: no root object");
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
