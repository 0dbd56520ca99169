#include "plist/keyed_archive_reader.h"

#include "files/log_line.h"

#include <syslog.h>

#include <unordered_map>

namespace bw {

namespace {

std::nullopt_t fail(const char* why) {
    bw::logLine(LOG_ERR, "keyed archive: %s", why);
    return std::nullopt;
}

} // namespace

KeyedArchiveReader::KeyedArchiveReader(std::span<const std::uint8_t> archive)
    : m_plist(archive), m_archiveSize(archive.size()) {
    m_stepsLeft = m_archiveSize / 2 + 4096;
    m_bytesLeft = 8 * m_archiveSize + (1u << 20);
}

bool KeyedArchiveReader::spend(std::uint64_t& left, std::uint64_t amount, const char* before, const char* after) {
    if (!m_exhausted && amount <= left) {
        left -= amount;
        return true;
    }
    // One line for the first limit reached: everything after it fails on m_exhausted alone.
    if (!m_exhausted)
        bw::logLine(LOG_ERR, "keyed archive: %s an archive of %llu bytes%s", before,
                    static_cast<unsigned long long>(m_archiveSize), after);
    m_exhausted = true;
    return false;
}

bool KeyedArchiveReader::step(std::uint64_t steps) {
    return spend(m_stepsLeft, steps, "objects shared too often for", "");
}

bool KeyedArchiveReader::charge(std::uint64_t bytes) {
    return spend(m_bytesLeft, bytes, "decodes to more than", " can hold");
}

std::optional<ArchiveValue> KeyedArchiveReader::failed(const char* why) {
    return fail(why);
}

std::optional<BinaryPlistReader::Object> KeyedArchiveReader::objectAt(std::uint64_t index) {
    if (!step())
        return std::nullopt;
    return m_plist.object(index);
}

std::optional<std::uint64_t> KeyedArchiveReader::member(const Object& dictionary, std::string_view key) {
    if (dictionary.kind != BinaryPlistReader::Kind::Dictionary)
        return std::nullopt;
    for (std::uint64_t k = 0; k < dictionary.count; ++k) {
        auto name = objectAt(m_plist.reference(dictionary, k));
        if (!name)
            return std::nullopt;
        if (m_plist.textEquals(*name, key))
            return m_plist.reference(dictionary, dictionary.count + k);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> KeyedArchiveReader::uidOf(const Object& object) {
    if (object.kind == BinaryPlistReader::Kind::Uid)
        return object.uintValue;
    if (object.kind == BinaryPlistReader::Kind::Dictionary && object.count == 1) {
        if (auto inner = member(object, "CF$UID")) {
            auto value = objectAt(*inner);
            if (value && value->kind == BinaryPlistReader::Kind::UInt)
                return value->uintValue;
        }
    }
    return std::nullopt;
}

bool KeyedArchiveReader::open() {
    if (m_archiveSize > kMaxInflatedSize) {
        bw::logLine(LOG_ERR, "keyed archive: %llu bytes cannot be an archive",
                    static_cast<unsigned long long>(m_archiveSize));
        return false;
    }
    if (!m_plist.open())
        return false;
    auto top = objectAt(m_plist.topObject());
    if (!top || top->kind != BinaryPlistReader::Kind::Dictionary)
        return fail("not a binary property list dictionary"), false;
    if (auto archiver = member(*top, "$archiver")) {
        auto name = objectAt(*archiver);
        if (!name || !m_plist.textEquals(*name, "NSKeyedArchiver"))
            return fail("unknown archiver"), false;
    }
    auto objects = member(*top, "$objects");
    auto topDict = member(*top, "$top");
    std::optional<Object> objectsArray = objects ? objectAt(*objects) : std::nullopt;
    std::optional<Object> topObject = topDict ? objectAt(*topDict) : std::nullopt;
    if (!objectsArray || objectsArray->kind != BinaryPlistReader::Kind::Array || !topObject ||
        topObject->kind != BinaryPlistReader::Kind::Dictionary)
        return fail("no object table"), false;
    m_objects = *objectsArray;
    auto rootRef = member(*topObject, "root");
    std::optional<Object> rootObject = rootRef ? objectAt(*rootRef) : std::nullopt;
    std::optional<std::uint64_t> uid = rootObject ? uidOf(*rootObject) : std::nullopt;
    if (!uid || *uid == 0 || *uid >= m_objects.count)
        return fail("no root object"), false;
    m_root = m_plist.reference(m_objects, *uid);
    return true;
}

bool KeyedArchiveReader::resolve(std::uint64_t index, int depth, std::optional<std::uint64_t>& resolved) {
    for (;; ++depth) {
        if (depth > kMaxDepth)
            return fail("objects nested too deeply"), false;
        auto object = objectAt(index);
        if (!object)
            return false;
        auto uid = uidOf(*object);
        if (!uid) {
            resolved = index;
            return true;
        }
        if (*uid == 0) {
            resolved.reset();
            return true;
        }
        if (*uid >= m_objects.count)
            return fail("object reference out of range"), false;
        index = m_plist.reference(m_objects, *uid);
    }
}

std::optional<std::vector<std::string>> KeyedArchiveReader::classChain(std::uint64_t index, int depth) {
    std::optional<std::uint64_t> resolved;
    if (!resolve(index, depth, resolved) || !resolved)
        return std::nullopt;
    auto object = objectAt(*resolved);
    auto classRef = object ? member(*object, "$class") : std::nullopt;
    auto classObject = classRef ? objectAt(*classRef) : std::nullopt;
    auto uid = classObject ? uidOf(*classObject) : std::nullopt;
    if (!uid || *uid == 0 || *uid >= m_objects.count)
        return std::nullopt;
    if (auto known = m_classChains.find(*uid); known != m_classChains.end())
        return known->second;
    auto description = objectAt(m_plist.reference(m_objects, *uid));
    auto nameRef = description ? member(*description, "$classname") : std::nullopt;
    auto name = nameRef ? objectAt(*nameRef) : std::nullopt;
    if (!name || name->kind != BinaryPlistReader::Kind::String || !charge(m_plist.textLength(*name)))
        return std::nullopt;
    std::vector<std::string> chain{m_plist.text(*name)};
    if (auto classesRef = member(*description, "$classes")) {
        auto classes = objectAt(*classesRef);
        if (classes && classes->kind == BinaryPlistReader::Kind::Array) {
            for (std::uint64_t i = 1; i < classes->count; ++i) {
                auto item = objectAt(m_plist.reference(*classes, i));
                if (!item)
                    return std::nullopt;
                if (item->kind != BinaryPlistReader::Kind::String)
                    continue;
                if (!charge(m_plist.textLength(*item)))
                    return std::nullopt;
                chain.push_back(m_plist.text(*item));
            }
        }
    }
    if (chain.size() > 1 && chain.back() == "NSObject")
        chain.pop_back();
    m_classChains.emplace(*uid, chain);
    return chain;
}

bool KeyedArchiveReader::forEachMember(std::uint64_t index, int depth, const MemberFunction& fn) {
    std::optional<std::uint64_t> resolved;
    if (!resolve(index, depth, resolved) || !resolved)
        return false;
    auto object = objectAt(*resolved);
    if (!object || object->kind != BinaryPlistReader::Kind::Dictionary)
        return false;
    for (std::uint64_t k = 0; k < object->count; ++k) {
        auto key = objectAt(m_plist.reference(*object, k));
        if (!key || key->kind != BinaryPlistReader::Kind::String)
            return fail("dictionary key is not a string"), false;
        if (m_plist.textEquals(*key, "$class"))
            continue;
        if (!charge(m_plist.textLength(*key)))
            return false;
        if (!fn(m_plist.text(*key), m_plist.reference(*object, object->count + k), depth + 1))
            return false;
    }
    return true;
}

bool KeyedArchiveReader::forEachEntry(std::uint64_t index, int depth, const MemberFunction& fn,
                                      std::size_t* skipped) {
    std::optional<std::uint64_t> resolved;
    if (!resolve(index, depth, resolved) || !resolved)
        return false;
    auto object = objectAt(*resolved);
    if (!object)
        return false;
    auto keysRef = member(*object, "NS.keys");
    auto valuesRef = member(*object, "NS.objects");
    if (!keysRef && !valuesRef)
        return true;
    auto keys = keysRef ? objectAt(*keysRef) : std::nullopt;
    auto values = valuesRef ? objectAt(*valuesRef) : std::nullopt;
    if (!keys || !values || keys->kind != BinaryPlistReader::Kind::Array ||
        values->kind != BinaryPlistReader::Kind::Array || keys->count != values->count)
        return fail("malformed dictionary"), false;
    for (std::uint64_t i = 0; i < keys->count; ++i) {
        auto key = decode(m_plist.reference(*keys, i), depth + 1);
        if (!key && skipped && !m_exhausted) {
            ++*skipped;
            continue;
        }
        if (!key)
            return false;
        if (key->kind != ArchiveValue::Kind::String) {
            if (!skipped)
                return fail("dictionary key is not a string"), false;
            ++*skipped;
            continue;
        }
        if (!fn(key->stringValue, m_plist.reference(*values, i), depth + 1))
            return false;
    }
    return true;
}

std::optional<ArchiveValue> KeyedArchiveReader::decode(std::uint64_t index, int depth) {
    std::optional<std::uint64_t> resolved;
    if (!resolve(index, depth, resolved))
        return std::nullopt;
    if (!charge(m_nodeCost))
        return std::nullopt;
    if (!resolved)
        return ArchiveValue::null();
    auto object = objectAt(*resolved);
    if (!object)
        return std::nullopt;
    switch (object->kind) {
    case BinaryPlistReader::Kind::Bool:
        return ArchiveValue::fromBool(object->boolValue);
    case BinaryPlistReader::Kind::UInt:
        return ArchiveValue::fromUInt(object->uintValue);
    case BinaryPlistReader::Kind::Real:
        return ArchiveValue::fromReal(object->realValue);
    case BinaryPlistReader::Kind::String:
        if (!charge(m_plist.textLength(*object)))
            return std::nullopt;
        return ArchiveValue::fromString(m_plist.text(*object));
    case BinaryPlistReader::Kind::Uid:
        return failed("unsupported value");
    case BinaryPlistReader::Kind::Array: {
        ArchiveValue array = ArchiveValue::array();
        for (std::uint64_t k = 0; k < object->count; ++k) {
            auto item = decode(m_plist.reference(*object, k), depth + 1);
            if (!item)
                return std::nullopt;
            array.items.push_back(std::move(*item));
        }
        return array;
    }
    case BinaryPlistReader::Kind::Dictionary:
        return decodeObject(*resolved, *object, depth);
    }
    return failed("unsupported value");
}

std::optional<ArchiveValue> KeyedArchiveReader::decodeObject(std::uint64_t index, const Object& object, int depth) {
    auto chain = classChain(index, depth);
    if (!chain)
        return failed("object without a class");
    const std::string name = chain->front();
    if (name == "NSString" || name == "NSMutableString") {
        auto textRef = member(object, "NS.string");
        auto text = textRef ? decode(*textRef, depth + 1) : std::nullopt;
        if (!text || text->kind != ArchiveValue::Kind::String)
            return failed("string object without text");
        return text;
    }
    if (name == "NSDictionary" || name == "NSMutableDictionary") {
        ArchiveValue dictionary = ArchiveValue::dictionary(name == "NSMutableDictionary");
        std::unordered_map<std::string, std::size_t> positions;
        const bool ok = forEachEntry(index, depth, [&](const std::string& key, std::uint64_t value, int itemDepth) {
            auto item = decode(value, itemDepth);
            if (!item)
                return false;
            // A later duplicate replaces the earlier one, as in a dictionary.
            auto [where, fresh] = positions.emplace(key, dictionary.entries.size());
            if (fresh)
                dictionary.entries.emplace_back(key, std::move(*item));
            else
                dictionary.entries[where->second].second = std::move(*item);
            return true;
        });
        if (!ok)
            return std::nullopt;
        return dictionary;
    }
    if (name == "NSArray" || name == "NSMutableArray") {
        ArchiveValue array = ArchiveValue::array(name == "NSMutableArray");
        auto itemsRef = member(object, "NS.objects");
        if (!itemsRef)
            return array;
        auto items = objectAt(*itemsRef);
        if (!items || items->kind != BinaryPlistReader::Kind::Array)
            return failed("malformed array");
        for (std::uint64_t k = 0; k < items->count; ++k) {
            auto item = decode(m_plist.reference(*items, k), depth + 1);
            if (!item)
                return std::nullopt;
            array.items.push_back(std::move(*item));
        }
        return array;
    }
    ArchiveValue result = ArchiveValue::object(std::move(*chain));
    const bool ok = forEachMember(index, depth, [&](const std::string& key, std::uint64_t value, int memberDepth) {
        auto item = decode(value, memberDepth);
        if (!item)
            return false;
        result.entries.emplace_back(key, std::move(*item));
        return true;
    });
    if (!ok)
        return std::nullopt;
    return result;
}

} // namespace bw
