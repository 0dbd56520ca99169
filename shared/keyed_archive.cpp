#include "keyed_archive.h"

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
// UTF-8 <-> UTF-16 with invalid bytes carried as lone surrogates U+DC80..U+DCFF

namespace {

std::u16string utf16FromBytes(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        char32_t cp = 0;
        std::size_t len = 0;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        }
        bool valid = len > 0 && i + len <= n;
        for (std::size_t k = 1; valid && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (valid) {
            // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
            if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                (cp >= 0xD800 && cp <= 0xDFFF))
                valid = false;
        }
        if (!valid) {
            out.push_back(static_cast<char16_t>(0xDC00 + c));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

bool isAscii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Binary property list writer

void appendBigEndian(Bytes& out, std::uint64_t value, unsigned width) {
    for (unsigned k = width; k-- > 0;)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
}

unsigned bytesNeeded(std::uint64_t value) {
    if (value <= 0xFF)
        return 1;
    if (value <= 0xFFFF)
        return 2;
    if (value <= 0xFFFFFFFFu)
        return 4;
    return 8;
}

void appendMarkerWithCount(Bytes& out, std::uint8_t marker, std::uint64_t count) {
    if (count < 15) {
        out.push_back(static_cast<std::uint8_t>(marker | count));
        return;
    }
    out.push_back(static_cast<std::uint8_t>(marker | 0x0F));
    const unsigned width = bytesNeeded(count);
    out.push_back(static_cast<std::uint8_t>(0x10 | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3)));
    appendBigEndian(out, count, width);
}

class BinaryPlistWriter {
public:
    std::optional<Bytes> write(const PlistValue& root) {
        if (!flatten(root, 0))
            return std::nullopt;
        const std::uint64_t count = m_objects.size();
        const unsigned refSize = bytesNeeded(count);

        Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<std::uint64_t> offsets;
        offsets.reserve(count);
        for (const auto& object : m_objects) {
            offsets.push_back(out.size());
            if (object.refs.empty() && !object.isContainer) {
                out.insert(out.end(), object.scalar.begin(), object.scalar.end());
                continue;
            }
            appendMarkerWithCount(out, object.marker,
                                  object.isDictionary ? object.refs.size() / 2 : object.refs.size());
            for (std::uint64_t ref : object.refs)
                appendBigEndian(out, ref, refSize);
        }
        const std::uint64_t tableOffset = out.size();
        const unsigned offsetSize = bytesNeeded(tableOffset);
        for (std::uint64_t offset : offsets)
            appendBigEndian(out, offset, offsetSize);
        for (int k = 0; k < 6; ++k)
            out.push_back(0);
        out.push_back(static_cast<std::uint8_t>(offsetSize));
        out.push_back(static_cast<std::uint8_t>(refSize));
        appendBigEndian(out, count, 8);
        appendBigEndian(out, 0, 8); // the root is the first object
        appendBigEndian(out, tableOffset, 8);
        return out;
    }

private:
    struct Object {
        Bytes scalar;
        bool isContainer = false;
        bool isDictionary = false;
        std::uint8_t marker = 0;
        std::vector<std::uint64_t> refs;
    };

    static constexpr int kMaxDepth = 512;

    std::uint64_t addScalar(Bytes encoded) {
        // Equal scalars are stored once, as Apple's writer does.
        auto it = m_scalarIndex.find(encoded);
        if (it != m_scalarIndex.end())
            return it->second;
        const std::uint64_t index = m_objects.size();
        m_objects.push_back(Object{encoded, false, false, 0, {}});
        m_scalarIndex.emplace(std::move(encoded), index);
        return index;
    }

    static Bytes encodeString(const std::string& s) {
        Bytes out;
        if (isAscii(s)) {
            appendMarkerWithCount(out, 0x50, s.size());
            out.insert(out.end(), s.begin(), s.end());
        } else {
            const std::u16string units = utf16FromBytes(s);
            appendMarkerWithCount(out, 0x60, units.size());
            for (char16_t unit : units)
                appendBigEndian(out, unit, 2);
        }
        return out;
    }

    // Index of the flattened value, or nothing when too deep.
    std::optional<std::uint64_t> flatten(const PlistValue& value, int depth) {
        if (depth > kMaxDepth)
            return std::nullopt;
        Bytes scalar;
        switch (value.kind) {
        case PlistValue::Kind::Bool:
            return addScalar(Bytes{static_cast<std::uint8_t>(value.boolValue ? 0x09 : 0x08)});
        case PlistValue::Kind::Int:
            if (value.intValue < 0) {
                scalar.push_back(0x13); // 8-byte integers are signed
                appendBigEndian(scalar, static_cast<std::uint64_t>(value.intValue), 8);
                return addScalar(std::move(scalar));
            }
            return flatten(
                PlistValue{
                    PlistValue::Kind::UInt, false, 0, static_cast<std::uint64_t>(value.intValue), 0.0, {}, {}, {}},
                depth);
        case PlistValue::Kind::UInt: {
            const std::uint64_t u = value.uintValue;
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                scalar.push_back(0x14);
                appendBigEndian(scalar, 0, 8);
                appendBigEndian(scalar, u, 8);
            } else {
                const unsigned width = bytesNeeded(u);
                scalar.push_back(static_cast<std::uint8_t>(0x10 | (width == 1   ? 0
                                                                   : width == 2 ? 1
                                                                   : width == 4 ? 2
                                                                                : 3)));
                appendBigEndian(scalar, u, width);
            }
            return addScalar(std::move(scalar));
        }
        case PlistValue::Kind::Real: {
            std::uint64_t bits = 0;
            static_assert(sizeof bits == sizeof value.realValue);
            std::memcpy(&bits, &value.realValue, sizeof bits);
            scalar.push_back(0x23);
            appendBigEndian(scalar, bits, 8);
            return addScalar(std::move(scalar));
        }
        case PlistValue::Kind::String:
            return addScalar(encodeString(value.stringValue));
        case PlistValue::Kind::Uid: {
            const unsigned width = bytesNeeded(value.uintValue);
            scalar.push_back(static_cast<std::uint8_t>(0x80 | (width - 1)));
            appendBigEndian(scalar, value.uintValue, width);
            return addScalar(std::move(scalar));
        }
        case PlistValue::Kind::Array:
        case PlistValue::Kind::Dictionary: {
            const bool isDictionary = value.kind == PlistValue::Kind::Dictionary;
            const std::uint64_t index = m_objects.size();
            m_objects.push_back(
                Object{{}, true, isDictionary, static_cast<std::uint8_t>(isDictionary ? 0xD0 : 0xA0), {}});
            std::vector<std::uint64_t> refs;
            if (isDictionary) {
                std::vector<std::uint64_t> values;
                for (const auto& [key, item] : value.entries) {
                    refs.push_back(addScalar(encodeString(key)));
                    auto ref = flatten(item, depth + 1);
                    if (!ref)
                        return std::nullopt;
                    values.push_back(*ref);
                }
                refs.insert(refs.end(), values.begin(), values.end());
            } else {
                for (const auto& item : value.items) {
                    auto ref = flatten(item, depth + 1);
                    if (!ref)
                        return std::nullopt;
                    refs.push_back(*ref);
                }
            }
            m_objects[index].refs = std::move(refs);
            return index;
        }
        }
        return std::nullopt;
    }

    std::vector<Object> m_objects;
    std::map<Bytes, std::uint64_t> m_scalarIndex;
};

// ---------------------------------------------------------------------------------------------------------
// Archiver

PlistValue plistString(std::string s) {
    PlistValue v;
    v.kind = PlistValue::Kind::String;
    v.stringValue = std::move(s);
    return v;
}

PlistValue plistUid(std::uint64_t uid) {
    PlistValue v;
    v.kind = PlistValue::Kind::Uid;
    v.uintValue = uid;
    return v;
}

PlistValue plistArray() {
    PlistValue v;
    v.kind = PlistValue::Kind::Array;
    return v;
}

PlistValue plistDictionary() {
    PlistValue v;
    v.kind = PlistValue::Kind::Dictionary;
    return v;
}

class KeyedArchiver {
public:
    KeyedArchiver() { m_objects.push_back(plistString("$null")); }

    std::optional<std::uint64_t> encode(const ArchiveValue& value, int depth) {
        if (depth > kMaxDepth) {
            syslog(LOG_ERR, "keyed archive: objects nested too deeply");
            return std::nullopt;
        }
        PlistValue scalar;
        switch (value.kind) {
        case ArchiveValue::Kind::Null:
            return 0;
        case ArchiveValue::Kind::Bool:
            scalar.kind = PlistValue::Kind::Bool;
            scalar.boolValue = value.boolValue;
            return addScalar(std::move(scalar), 'b');
        case ArchiveValue::Kind::Int:
            scalar.kind = PlistValue::Kind::Int;
            scalar.intValue = value.intValue;
            return addScalar(std::move(scalar), 'i');
        case ArchiveValue::Kind::UInt:
            scalar.kind = PlistValue::Kind::UInt;
            scalar.uintValue = value.uintValue;
            return addScalar(std::move(scalar), 'u');
        case ArchiveValue::Kind::Real:
            scalar.kind = PlistValue::Kind::Real;
            scalar.realValue = value.realValue;
            return addScalar(std::move(scalar), 'r');
        case ArchiveValue::Kind::String:
            if (value.stringValue == "$null") {
                // That text is the archive's own nil marker when stored inline; wrap it as an object.
                const std::uint64_t uid = reserve();
                PlistValue object = plistDictionary();
                object.entries.emplace_back("NS.string", plistString(value.stringValue));
                object.entries.emplace_back("$class", plistUid(classUid({"NSString"})));
                m_objects[uid] = std::move(object);
                return uid;
            }
            return addScalar(plistString(value.stringValue), 's');
        case ArchiveValue::Kind::Array: {
            const std::uint64_t uid = reserve();
            PlistValue refs = plistArray();
            for (const auto& item : value.items) {
                auto ref = encode(item, depth + 1);
                if (!ref)
                    return std::nullopt;
                refs.items.push_back(plistUid(*ref));
            }
            PlistValue object = plistDictionary();
            object.entries.emplace_back("NS.objects", std::move(refs));
            object.entries.emplace_back("$class", plistUid(classUid(chainOf(value, "NSArray"))));
            m_objects[uid] = std::move(object);
            return uid;
        }
        case ArchiveValue::Kind::Dictionary: {
            const std::uint64_t uid = reserve();
            PlistValue keys = plistArray();
            PlistValue values = plistArray();
            for (const auto& [key, item] : value.entries) {
                auto ref = encode(ArchiveValue::fromString(key), depth + 1);
                if (!ref)
                    return std::nullopt;
                keys.items.push_back(plistUid(*ref));
            }
            for (const auto& [key, item] : value.entries) {
                auto ref = encode(item, depth + 1);
                if (!ref)
                    return std::nullopt;
                values.items.push_back(plistUid(*ref));
            }
            PlistValue object = plistDictionary();
            object.entries.emplace_back("NS.keys", std::move(keys));
            object.entries.emplace_back("NS.objects", std::move(values));
            object.entries.emplace_back("$class", plistUid(classUid(chainOf(value, "NSDictionary"))));
            m_objects[uid] = std::move(object);
            return uid;
        }
        case ArchiveValue::Kind::Object: {
            if (value.classes.empty() || value.classes.front().empty()) {
                syslog(LOG_ERR, "keyed archive: object without a class name");
                return std::nullopt;
            }
            const std::uint64_t uid = reserve();
            PlistValue object = plistDictionary();
            for (const auto& [key, item] : value.entries) {
                if (key.empty() || key.front() == '$') {
                    syslog(LOG_ERR, "keyed archive: coder key '%s' is reserved", key.c_str());
                    return std::nullopt;
                }
                auto ref = encode(item, depth + 1);
                if (!ref)
                    return std::nullopt;
                object.entries.emplace_back(key, plistUid(*ref));
            }
            object.entries.emplace_back("$class", plistUid(classUid(value.classes)));
            m_objects[uid] = std::move(object);
            return uid;
        }
        }
        return std::nullopt;
    }

    PlistValue finish() {
        PlistValue top = plistDictionary();
        PlistValue version;
        version.kind = PlistValue::Kind::UInt;
        version.uintValue = 100000;
        top.entries.emplace_back("$version", std::move(version));
        top.entries.emplace_back("$archiver", plistString("NSKeyedArchiver"));
        PlistValue rootDict = plistDictionary();
        rootDict.entries.emplace_back("root", plistUid(1));
        top.entries.emplace_back("$top", std::move(rootDict));
        PlistValue objects = plistArray();
        objects.items = std::move(m_objects);
        top.entries.emplace_back("$objects", std::move(objects));
        return top;
    }

private:
    static constexpr int kMaxDepth = 256;

    static std::vector<std::string> chainOf(const ArchiveValue& value, const char* immutableClass) {
        if (value.classes.empty())
            return {immutableClass};
        return value.classes;
    }

    std::uint64_t reserve() {
        m_objects.emplace_back();
        return m_objects.size() - 1;
    }

    // Equal strings and numbers share one entry, as the platform's constant strings and small numbers do.
    std::uint64_t addScalar(PlistValue value, char tag) {
        auto key = std::make_tuple(tag, value.boolValue, value.intValue, value.uintValue, value.stringValue,
                                   std::bit_cast<std::uint64_t>(value.realValue));
        auto it = m_scalars.find(key);
        if (it != m_scalars.end())
            return it->second;
        m_objects.push_back(std::move(value));
        m_scalars.emplace(std::move(key), m_objects.size() - 1);
        return m_objects.size() - 1;
    }

    std::uint64_t classUid(std::vector<std::string> chain) {
        if (chain.empty() || chain.back() != "NSObject")
            chain.push_back("NSObject");
        auto it = m_classes.find(chain);
        if (it != m_classes.end())
            return it->second;
        PlistValue classes = plistArray();
        for (const auto& name : chain)
            classes.items.push_back(plistString(name));
        PlistValue description = plistDictionary();
        description.entries.emplace_back("$classname", plistString(chain.front()));
        description.entries.emplace_back("$classes", std::move(classes));
        m_objects.push_back(std::move(description));
        m_classes.emplace(std::move(chain), m_objects.size() - 1);
        return m_objects.size() - 1;
    }

    std::vector<PlistValue> m_objects;
    std::map<std::tuple<char, bool, std::int64_t, std::uint64_t, std::string, std::uint64_t>, std::uint64_t> m_scalars;
    std::map<std::vector<std::string>, std::uint64_t> m_classes;
};

// How many nodes a reading may build. A tree never needs more nodes than the archive has bytes; a maze of
// shared objects would. The fixed ceiling matters because a 256 MiB archive inflates from a file of a
// few hundred kilobytes and every node costs about a hundred bytes: two million nodes hold an index of
// a hundred thousand items, far more than one minute of trash, and stay within a few hundred megabytes.
constexpr std::size_t kMaxArchiveNodes = 2'000'000;

std::size_t nodeBudget(std::size_t archiveSize) {
    return std::min<std::size_t>(4 * archiveSize + 1024, kMaxArchiveNodes);
}

// ---------------------------------------------------------------------------------------------------------
// Binary property list reader. Our own, with every offset, count and reference checked: the library
// parser aborts on strings that hold a zero byte and recurses without bound, and an index may come
// from anyone who can write into a cache folder.

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// UTF-16 code units to UTF-8; the lone surrogates U+DC80..U+DCFF give back the raw bytes they carry,
// any other lone surrogate becomes U+FFFD.
std::string bytesFromUtf16(const std::vector<char16_t>& units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out.push_back(static_cast<char>(u - 0xDC00));
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

class BinaryPlistReader {
public:
    explicit BinaryPlistReader(std::span<const std::uint8_t> data) : m_data(data) {}

    std::optional<PlistValue> read() {
        static constexpr char kMagic[] = "bplist00";
        if (m_data.size() < 8 + 32 || std::memcmp(m_data.data(), kMagic, 8) != 0)
            return fail("not a binary property list");
        const std::size_t trailer = m_data.size() - 32;
        m_offsetSize = m_data[trailer + 6];
        m_refSize = m_data[trailer + 7];
        const std::uint64_t count = bigEndian(trailer + 8, 8);
        const std::uint64_t top = bigEndian(trailer + 16, 8);
        m_tableOffset = bigEndian(trailer + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8)
            return fail("bad integer sizes");
        if (m_tableOffset < 8 || m_tableOffset > trailer || count == 0 ||
            count > (trailer - m_tableOffset) / m_offsetSize || top >= count)
            return fail("bad offset table");
        m_count = count;
        m_visiting.assign(static_cast<std::size_t>(count), false);
        m_budget = nodeBudget(m_data.size());
        return object(top, 0);
    }

private:
    static constexpr int kMaxDepth = 512;

    static std::nullopt_t fail(const char* why) {
        syslog(LOG_ERR, "keyed archive: %s", why);
        return std::nullopt;
    }

    std::uint64_t bigEndian(std::size_t at, unsigned width) const {
        std::uint64_t value = 0;
        for (unsigned k = 0; k < width; ++k)
            value = (value << 8) | m_data[at + k];
        return value;
    }

    // Bytes [at, at + length) lie inside the object area.
    bool inObjects(std::uint64_t at, std::uint64_t length) const {
        return at <= m_tableOffset && length <= m_tableOffset - at;
    }

    // The count of a container or string: the low nibble, or a following integer when it is 15.
    std::optional<std::uint64_t> countAt(std::uint64_t& at, std::uint8_t marker) const {
        const std::uint64_t low = marker & 0x0F;
        if (low != 0x0F)
            return low;
        if (!inObjects(at, 1) || (m_data[at] & 0xF0) != 0x10)
            return std::nullopt;
        const unsigned width = 1u << (m_data[at] & 0x0F);
        if (width > 8 || !inObjects(at + 1, width))
            return std::nullopt;
        const std::uint64_t value = bigEndian(static_cast<std::size_t>(at + 1), width);
        at += 1 + width;
        return value;
    }

    std::optional<PlistValue> object(std::uint64_t index, int depth) {
        if (index >= m_count)
            return fail("object reference out of range");
        if (depth > kMaxDepth || m_budget == 0)
            return fail("objects nested too deeply or shared too often");
        if (m_visiting[index])
            return fail("object reference cycle");
        --m_budget;
        const std::uint64_t offset =
            bigEndian(static_cast<std::size_t>(m_tableOffset + index * m_offsetSize), m_offsetSize);
        if (offset < 8 || !inObjects(offset, 1))
            return fail("object offset out of range");
        m_visiting[index] = true;
        auto value = parse(offset, depth);
        m_visiting[index] = false;
        return value;
    }

    std::optional<PlistValue> parse(std::uint64_t at, int depth) {
        const std::uint8_t marker = m_data[at++];
        PlistValue value;
        switch (marker >> 4) {
        case 0x0:
            if (marker != 0x08 && marker != 0x09)
                return fail("unsupported value");
            value.kind = PlistValue::Kind::Bool;
            value.boolValue = marker == 0x09;
            return value;
        case 0x1: {
            const unsigned width = 1u << (marker & 0x0F);
            if (width > 16 || !inObjects(at, width))
                return fail("bad integer");
            value.kind = PlistValue::Kind::UInt;
            if (width == 16) {
                // The high half is 0 for unsigned values above INT64_MAX, or the sign of a negative one.
                const std::uint64_t high = bigEndian(static_cast<std::size_t>(at), 8);
                value.uintValue = bigEndian(static_cast<std::size_t>(at + 8), 8);
                if (high != 0 && !(high == ~0ull && (value.uintValue >> 63)))
                    return fail("integer beyond 64 bits");
            } else {
                value.uintValue = bigEndian(static_cast<std::size_t>(at), width);
            }
            return value;
        }
        case 0x2: {
            const unsigned width = 1u << (marker & 0x0F);
            if ((width != 4 && width != 8) || !inObjects(at, width))
                return fail("bad real");
            value.kind = PlistValue::Kind::Real;
            const std::uint64_t bits = bigEndian(static_cast<std::size_t>(at), width);
            if (width == 4)
                value.realValue = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
            else
                value.realValue = std::bit_cast<double>(bits);
            return value;
        }
        case 0x5: {
            auto length = countAt(at, marker);
            if (!length || !inObjects(at, *length))
                return fail("bad string");
            value.kind = PlistValue::Kind::String;
            value.stringValue.assign(reinterpret_cast<const char*>(m_data.data() + at),
                                     static_cast<std::size_t>(*length));
            return value;
        }
        case 0x6: {
            auto length = countAt(at, marker);
            if (!length || *length > m_tableOffset || !inObjects(at, *length * 2))
                return fail("bad string");
            std::vector<char16_t> units(static_cast<std::size_t>(*length));
            for (std::size_t k = 0; k < units.size(); ++k)
                units[k] = static_cast<char16_t>(bigEndian(static_cast<std::size_t>(at + 2 * k), 2));
            value.kind = PlistValue::Kind::String;
            value.stringValue = bytesFromUtf16(units);
            return value;
        }
        case 0x8: {
            const unsigned width = (marker & 0x0F) + 1u;
            if (width > 8 || !inObjects(at, width))
                return fail("bad reference");
            value.kind = PlistValue::Kind::Uid;
            value.uintValue = bigEndian(static_cast<std::size_t>(at), width);
            return value;
        }
        case 0xA:
        case 0xD: {
            const bool isDictionary = (marker >> 4) == 0xD;
            auto count = countAt(at, marker);
            const std::uint64_t refs = count ? *count * (isDictionary ? 2 : 1) : 0;
            if (!count || *count > m_tableOffset || !inObjects(at, refs * m_refSize))
                return fail("bad container");
            auto refAt = [&](std::uint64_t k) {
                return bigEndian(static_cast<std::size_t>(at + k * m_refSize), m_refSize);
            };
            if (!isDictionary) {
                value.kind = PlistValue::Kind::Array;
                for (std::uint64_t k = 0; k < *count; ++k) {
                    auto item = object(refAt(k), depth + 1);
                    if (!item)
                        return std::nullopt;
                    value.items.push_back(std::move(*item));
                }
                return value;
            }
            value.kind = PlistValue::Kind::Dictionary;
            for (std::uint64_t k = 0; k < *count; ++k) {
                auto key = object(refAt(k), depth + 1);
                if (!key || key->kind != PlistValue::Kind::String)
                    return fail("dictionary key is not a string");
                auto item = object(refAt(*count + k), depth + 1);
                if (!item)
                    return std::nullopt;
                value.entries.emplace_back(std::move(key->stringValue), std::move(*item));
            }
            return value;
        }
        default:
            return fail("unsupported value");
        }
    }

    std::span<const std::uint8_t> m_data;
    unsigned m_offsetSize = 0;
    unsigned m_refSize = 0;
    std::uint64_t m_tableOffset = 0;
    std::uint64_t m_count = 0;
    std::vector<bool> m_visiting;
    std::size_t m_budget = 0;
};

const PlistValue* lookup(const PlistValue& dictionary, const char* key) {
    if (dictionary.kind != PlistValue::Kind::Dictionary)
        return nullptr;
    for (const auto& [k, v] : dictionary.entries)
        if (k == key)
            return &v;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------------------
// Unarchiver

class KeyedUnarchiver {
public:
    KeyedUnarchiver(const std::vector<PlistValue>& objects, std::size_t budget)
        : m_objects(objects), m_visiting(objects.size(), false), m_budget(budget) {}

    // The UID a value stands for: a UID, or the {"CF$UID": n} form of XML-born archives.
    static std::optional<std::uint64_t> uidOf(const PlistValue* value) {
        if (!value)
            return std::nullopt;
        if (value->kind == PlistValue::Kind::Uid)
            return value->uintValue;
        if (value->kind == PlistValue::Kind::Dictionary && value->entries.size() == 1) {
            const PlistValue* inner = lookup(*value, "CF$UID");
            if (inner && inner->kind == PlistValue::Kind::UInt)
                return inner->uintValue;
        }
        return std::nullopt;
    }

    std::optional<ArchiveValue> decodeUid(std::uint64_t uid, int depth) {
        if (uid == 0)
            return ArchiveValue::null();
        if (uid >= m_objects.size())
            return fail("object reference out of range");
        if (m_visiting[uid])
            return fail("object reference cycle");
        m_visiting[uid] = true;
        auto value = decodeNode(m_objects[uid], depth);
        m_visiting[uid] = false;
        return value;
    }

    // A value stored inline or referenced by UID.
    std::optional<ArchiveValue> decodeValue(const PlistValue* value, int depth) {
        if (!value)
            return ArchiveValue::null();
        if (auto uid = uidOf(value))
            return decodeUid(*uid, depth);
        return decodeNode(*value, depth);
    }

private:
    static constexpr int kMaxDepth = 256;

    static std::nullopt_t fail(const char* why) {
        syslog(LOG_ERR, "keyed archive: %s", why);
        return std::nullopt;
    }

    std::optional<ArchiveValue> decodeNode(const PlistValue& node, int depth) {
        if (depth > kMaxDepth || m_budget == 0)
            return fail("objects nested too deeply or shared too often");
        --m_budget;
        switch (node.kind) {
        case PlistValue::Kind::Bool:
            return ArchiveValue::fromBool(node.boolValue);
        case PlistValue::Kind::Int:
            return ArchiveValue::fromInt(node.intValue);
        case PlistValue::Kind::UInt:
            return ArchiveValue::fromUInt(node.uintValue);
        case PlistValue::Kind::Real:
            return ArchiveValue::fromReal(node.realValue);
        case PlistValue::Kind::String:
            return ArchiveValue::fromString(node.stringValue);
        case PlistValue::Kind::Uid:
            return decodeUid(node.uintValue, depth + 1);
        case PlistValue::Kind::Array: {
            ArchiveValue array = ArchiveValue::array();
            if (!decodeItems(node, array.items, depth))
                return std::nullopt;
            return array;
        }
        case PlistValue::Kind::Dictionary:
            return decodeObject(node, depth);
        }
        return fail("unsupported value");
    }

    bool decodeItems(const PlistValue& array, std::vector<ArchiveValue>& items, int depth) {
        items.reserve(array.items.size());
        for (const auto& element : array.items) {
            auto item = decodeValue(&element, depth + 1);
            if (!item)
                return false;
            items.push_back(std::move(*item));
        }
        return true;
    }

    // The class chain named by an object's "$class"; nothing when it is not a class description.
    std::optional<std::vector<std::string>> classChain(const PlistValue& object) const {
        auto uid = uidOf(lookup(object, "$class"));
        if (!uid || *uid == 0 || *uid >= m_objects.size())
            return std::nullopt;
        const PlistValue& description = m_objects[*uid];
        const PlistValue* name = lookup(description, "$classname");
        if (!name || name->kind != PlistValue::Kind::String)
            return std::nullopt;
        std::vector<std::string> chain{name->stringValue};
        if (const PlistValue* classes = lookup(description, "$classes");
            classes && classes->kind == PlistValue::Kind::Array) {
            for (std::size_t i = 1; i < classes->items.size(); ++i)
                if (classes->items[i].kind == PlistValue::Kind::String)
                    chain.push_back(classes->items[i].stringValue);
        }
        if (chain.size() > 1 && chain.back() == "NSObject")
            chain.pop_back();
        return chain;
    }

    std::optional<ArchiveValue> decodeObject(const PlistValue& object, int depth) {
        auto chain = classChain(object);
        if (!chain)
            return fail("object without a class");
        const std::string& name = chain->front();
        if (name == "NSString" || name == "NSMutableString") {
            auto text = decodeValue(lookup(object, "NS.string"), depth + 1);
            if (!text || text->kind != ArchiveValue::Kind::String)
                return fail("string object without text");
            return text;
        }
        if (name == "NSDictionary" || name == "NSMutableDictionary") {
            const PlistValue* keys = lookup(object, "NS.keys");
            const PlistValue* objects = lookup(object, "NS.objects");
            ArchiveValue dictionary = ArchiveValue::dictionary(name == "NSMutableDictionary");
            if (!keys && !objects)
                return dictionary;
            if (!keys || !objects || keys->kind != PlistValue::Kind::Array ||
                objects->kind != PlistValue::Kind::Array || keys->items.size() != objects->items.size())
                return fail("malformed dictionary");
            std::unordered_map<std::string, std::size_t> positions;
            for (std::size_t i = 0; i < keys->items.size(); ++i) {
                auto key = decodeValue(&keys->items[i], depth + 1);
                if (!key || key->kind != ArchiveValue::Kind::String)
                    return fail("dictionary key is not a string");
                auto item = decodeValue(&objects->items[i], depth + 1);
                if (!item)
                    return std::nullopt;
                // A later duplicate replaces the earlier one, as in a dictionary.
                auto [where, fresh] = positions.emplace(key->stringValue, dictionary.entries.size());
                if (fresh)
                    dictionary.entries.emplace_back(std::move(key->stringValue), std::move(*item));
                else
                    dictionary.entries[where->second].second = std::move(*item);
            }
            return dictionary;
        }
        if (name == "NSArray" || name == "NSMutableArray") {
            ArchiveValue array = ArchiveValue::array(name == "NSMutableArray");
            const PlistValue* objects = lookup(object, "NS.objects");
            if (!objects)
                return array;
            if (objects->kind != PlistValue::Kind::Array || !decodeItems(*objects, array.items, depth))
                return fail("malformed array");
            return array;
        }
        ArchiveValue result = ArchiveValue::object(std::move(*chain));
        for (const auto& [key, item] : object.entries) {
            if (key == "$class")
                continue;
            auto value = decodeValue(&item, depth + 1);
            if (!value)
                return std::nullopt;
            result.entries.emplace_back(key, std::move(*value));
        }
        return result;
    }

    const std::vector<PlistValue>& m_objects;
    std::vector<bool> m_visiting;
    std::size_t m_budget;
};

} // namespace

std::optional<Bytes> binaryPlistData(const PlistValue& root) {
    return BinaryPlistWriter().write(root);
}

std::optional<PlistValue> parseBinaryPlist(std::span<const std::uint8_t> data) {
    return BinaryPlistReader(data).read();
}

std::optional<Bytes> archivedDataWithRootObject(const ArchiveValue& root) {
    if (root.kind == ArchiveValue::Kind::Null) {
        syslog(LOG_ERR, "keyed archive: no root object");
        return std::nullopt;
    }
    KeyedArchiver archiver;
    auto rootUid = archiver.encode(root, 0);
    if (!rootUid)
        return std::nullopt;
    return binaryPlistData(archiver.finish());
}

std::optional<ArchiveValue> unarchiveRootObject(std::span<const std::uint8_t> archive) {
    if (archive.size() > kMaxInflatedSize) {
        syslog(LOG_ERR, "keyed archive: %zu bytes cannot be an archive", archive.size());
        return std::nullopt;
    }
    auto top = parseBinaryPlist(archive);
    if (!top || top->kind != PlistValue::Kind::Dictionary) {
        syslog(LOG_ERR, "keyed archive: not a binary property list dictionary");
        return std::nullopt;
    }
    if (const PlistValue* archiver = lookup(*top, "$archiver");
        archiver && (archiver->kind != PlistValue::Kind::String || archiver->stringValue != "NSKeyedArchiver")) {
        syslog(LOG_ERR, "keyed archive: unknown archiver");
        return std::nullopt;
    }
    const PlistValue* objects = lookup(*top, "$objects");
    const PlistValue* topDict = lookup(*top, "$top");
    if (!objects || objects->kind != PlistValue::Kind::Array || !topDict ||
        topDict->kind != PlistValue::Kind::Dictionary) {
        syslog(LOG_ERR, "keyed archive: no object table");
        return std::nullopt;
    }
    auto rootUid = KeyedUnarchiver::uidOf(lookup(*topDict, "root"));
    if (!rootUid || *rootUid == 0) {
        syslog(LOG_ERR, "keyed archive: no root object");
        return std::nullopt;
    }
    // A tree never needs more nodes than the archive has bytes; a maze of shared objects would.
    KeyedUnarchiver unarchiver(objects->items, nodeBudget(archive.size()));
    return unarchiver.decodeUid(*rootUid, 0);
}

} // namespace bw
