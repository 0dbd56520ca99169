#include "plist/binary_plist_writer.h"

#include "files/log_line.h"
#include "files/utf8.h"

#include <syslog.h>

#include <bit>
#include <limits>
#include <string>

namespace bw {

namespace {

constexpr std::uint64_t kNoIndex = std::numeric_limits<std::uint32_t>::max();

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

// UTF-8 to UTF-16 units; a byte that does not start a valid sequence becomes U+DC00 + byte.
std::u16string utf16FromBytes(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        char32_t cp = 0;
        const std::size_t len = utf8SequenceAt(s, i, cp);
        if (len == 0) {
            out.push_back(static_cast<char16_t>(0xDC00 + p[i]));
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

} // namespace

std::uint64_t BinaryPlistWriter::hashOf(std::span<const std::uint8_t> bytes) const {
    std::uint64_t h = 1469598103934665603ull; // FNV-1a, then mixed so that the low bits spread too
    for (std::uint8_t b : bytes)
        h = (h ^ b) * 1099511628211ull;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

std::span<const std::uint8_t> BinaryPlistWriter::scalarBytes(const Object& object) const {
    return {m_scalars.data() + object.start, object.length};
}

void BinaryPlistWriter::growSlots() {
    std::vector<std::uint32_t> slots(m_slots.empty() ? 1024 : m_slots.size() * 2, 0);
    const std::size_t mask = slots.size() - 1;
    for (std::uint32_t slot : m_slots) {
        if (slot == 0)
            continue;
        std::size_t at = hashOf(scalarBytes(m_objects[slot - 1])) & mask;
        while (slots[at] != 0)
            at = (at + 1) & mask;
        slots[at] = slot;
    }
    m_slots.swap(slots);
}

std::uint32_t BinaryPlistWriter::addEncodedScalar() {
    if (m_failed)
        return 0;
    if ((m_scalarCount + 1) * 2 > m_slots.size())
        growSlots();
    const std::size_t mask = m_slots.size() - 1;
    std::size_t at = hashOf(m_encoding) & mask;
    for (; m_slots[at] != 0; at = (at + 1) & mask) {
        auto existing = scalarBytes(m_objects[m_slots[at] - 1]);
        if (existing.size() == m_encoding.size() && std::equal(existing.begin(), existing.end(), m_encoding.begin()))
            return m_slots[at] - 1;
    }
    if (m_objects.size() >= kNoIndex || m_scalars.size() + m_encoding.size() > kNoIndex) {
        bw::logLine(LOG_ERR, "binary property list: the property list grew too large");
        m_failed = true;
        return 0;
    }
    const auto index = static_cast<std::uint32_t>(m_objects.size());
    m_objects.push_back(
        Object{static_cast<std::uint32_t>(m_scalars.size()), static_cast<std::uint32_t>(m_encoding.size()), Kind::Scalar});
    m_scalars.insert(m_scalars.end(), m_encoding.begin(), m_encoding.end());
    m_slots[at] = index + 1;
    ++m_scalarCount;
    return index;
}

std::uint32_t BinaryPlistWriter::addBool(bool value) {
    m_encoding.assign(1, static_cast<std::uint8_t>(value ? 0x09 : 0x08));
    return addEncodedScalar();
}

std::uint32_t BinaryPlistWriter::addInt(std::int64_t value) {
    if (value >= 0)
        return addUInt(static_cast<std::uint64_t>(value));
    m_encoding.assign(1, 0x13); // 8-byte integers are signed
    appendBigEndian(m_encoding, static_cast<std::uint64_t>(value), 8);
    return addEncodedScalar();
}

std::uint32_t BinaryPlistWriter::addUInt(std::uint64_t value) {
    m_encoding.clear();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        m_encoding.push_back(0x14);
        appendBigEndian(m_encoding, 0, 8);
        appendBigEndian(m_encoding, value, 8);
    } else {
        const unsigned width = bytesNeeded(value);
        m_encoding.push_back(static_cast<std::uint8_t>(0x10 | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3)));
        appendBigEndian(m_encoding, value, width);
    }
    return addEncodedScalar();
}

std::uint32_t BinaryPlistWriter::addReal(double value) {
    m_encoding.assign(1, 0x23);
    appendBigEndian(m_encoding, std::bit_cast<std::uint64_t>(value), 8);
    return addEncodedScalar();
}

std::uint32_t BinaryPlistWriter::addString(std::string_view utf8) {
    m_encoding.clear();
    if (isAscii(utf8)) {
        appendMarkerWithCount(m_encoding, 0x50, utf8.size());
        m_encoding.insert(m_encoding.end(), utf8.begin(), utf8.end());
    } else {
        const std::u16string units = utf16FromBytes(utf8);
        appendMarkerWithCount(m_encoding, 0x60, units.size());
        for (char16_t unit : units)
            appendBigEndian(m_encoding, unit, 2);
    }
    return addEncodedScalar();
}

std::uint32_t BinaryPlistWriter::addUid(std::uint64_t uid) {
    // UIDs are dense small numbers: a direct table finds the shared one without hashing.
    if (uid < m_uidObjects.size() && m_uidObjects[uid] != 0)
        return m_uidObjects[uid] - 1;
    const unsigned width = bytesNeeded(uid);
    m_encoding.assign(1, static_cast<std::uint8_t>(0x80 | (width - 1)));
    appendBigEndian(m_encoding, uid, width);
    if (m_failed || m_objects.size() >= kNoIndex || m_scalars.size() + m_encoding.size() > kNoIndex ||
        uid >= kNoIndex)
        return addEncodedScalar();
    const auto index = static_cast<std::uint32_t>(m_objects.size());
    m_objects.push_back(
        Object{static_cast<std::uint32_t>(m_scalars.size()), static_cast<std::uint32_t>(m_encoding.size()), Kind::Scalar});
    m_scalars.insert(m_scalars.end(), m_encoding.begin(), m_encoding.end());
    if (m_uidObjects.size() <= uid)
        m_uidObjects.resize(static_cast<std::size_t>(uid) + 1 + m_uidObjects.size() / 2, 0);
    m_uidObjects[uid] = index + 1;
    return index;
}

std::uint32_t BinaryPlistWriter::addContainer(Kind kind, std::span<const std::uint32_t> first,
                                              std::span<const std::uint32_t> second) {
    if (m_failed)
        return 0;
    const std::uint64_t count = first.size() + second.size();
    if (m_objects.size() >= kNoIndex || m_refs.size() + count > kNoIndex) {
        bw::logLine(LOG_ERR, "binary property list: the property list grew too large");
        m_failed = true;
        return 0;
    }
    const auto index = static_cast<std::uint32_t>(m_objects.size());
    m_objects.push_back(Object{static_cast<std::uint32_t>(m_refs.size()), static_cast<std::uint32_t>(count), kind});
    m_refs.insert(m_refs.end(), first.begin(), first.end());
    m_refs.insert(m_refs.end(), second.begin(), second.end());
    return index;
}

std::uint32_t BinaryPlistWriter::addArray(std::span<const std::uint32_t> items) {
    return addContainer(Kind::Array, items, {});
}

std::uint32_t BinaryPlistWriter::addDictionary(std::span<const std::uint32_t> keys,
                                               std::span<const std::uint32_t> values) {
    if (keys.size() != values.size()) {
        bw::logLine(LOG_ERR, "binary property list: a dictionary needs as many values as keys");
        m_failed = true;
        return 0;
    }
    return addContainer(Kind::Dictionary, keys, values);
}

std::optional<Bytes> BinaryPlistWriter::finish(std::uint32_t top) const {
    if (m_failed || top >= m_objects.size())
        return std::nullopt;
    const std::uint64_t count = m_objects.size();
    const unsigned refSize = bytesNeeded(count);

    Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    out.reserve(8 + m_scalars.size() + m_refs.size() * refSize + count * 5 + 32);
    std::vector<std::uint64_t> offsets;
    offsets.reserve(count);
    for (const Object& object : m_objects) {
        offsets.push_back(out.size());
        if (object.kind == Kind::Scalar) {
            auto bytes = scalarBytes(object);
            out.insert(out.end(), bytes.begin(), bytes.end());
            continue;
        }
        const bool dictionary = object.kind == Kind::Dictionary;
        appendMarkerWithCount(out, dictionary ? 0xD0 : 0xA0, dictionary ? object.length / 2 : object.length);
        for (std::uint32_t k = 0; k < object.length; ++k)
            appendBigEndian(out, m_refs[object.start + k], refSize);
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
    appendBigEndian(out, top, 8);
    appendBigEndian(out, tableOffset, 8);
    return out;
}

} // namespace bw
