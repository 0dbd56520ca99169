#include "plist/binary_plist_reader.h"

#include "files/log_line.h"
#include "files/utf8.h"

#include <syslog.h>

#include <bit>
#include <cstring>

namespace bw {

namespace {

std::nullopt_t fail(const char* why) {
    bw::logLine(LOG_ERR, "binary property list: %s", why);
    return std::nullopt;
}

} // namespace

std::uint64_t BinaryPlistReader::bigEndian(std::uint64_t at, unsigned width) const {
    std::uint64_t value = 0;
    for (unsigned k = 0; k < width; ++k)
        value = (value << 8) | m_data[static_cast<std::size_t>(at + k)];
    return value;
}

bool BinaryPlistReader::inObjects(std::uint64_t at, std::uint64_t length) const {
    return at <= m_tableOffset && length <= m_tableOffset - at;
}

bool BinaryPlistReader::open() {
    static constexpr char kMagic[] = "bplist00";
    if (m_data.size() < 8 + 32 || std::memcmp(m_data.data(), kMagic, 8) != 0)
        return fail("not a binary property list"), false;
    const std::size_t trailer = m_data.size() - 32;
    m_offsetSize = m_data[trailer + 6];
    m_refSize = m_data[trailer + 7];
    m_count = bigEndian(trailer + 8, 8);
    m_top = bigEndian(trailer + 16, 8);
    m_tableOffset = bigEndian(trailer + 24, 8);
    if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8)
        return fail("bad integer sizes"), false;
    if (m_tableOffset < 8 || m_tableOffset > trailer || m_count == 0 ||
        m_count > (trailer - m_tableOffset) / m_offsetSize || m_top >= m_count)
        return fail("bad offset table"), false;
    return true;
}

std::optional<std::uint64_t> BinaryPlistReader::countAt(std::uint64_t& at, std::uint8_t marker) const {
    const std::uint64_t low = marker & 0x0F;
    if (low != 0x0F)
        return low;
    if (!inObjects(at, 1) || (m_data[static_cast<std::size_t>(at)] & 0xF0) != 0x10)
        return std::nullopt;
    const unsigned width = 1u << (m_data[static_cast<std::size_t>(at)] & 0x0F);
    if (width > 8 || !inObjects(at + 1, width))
        return std::nullopt;
    const std::uint64_t value = bigEndian(at + 1, width);
    at += 1 + width;
    return value;
}

std::optional<BinaryPlistReader::Object> BinaryPlistReader::object(std::uint64_t index) const {
    if (index >= m_count)
        return fail("object reference out of range");
    const std::uint64_t offset = bigEndian(m_tableOffset + index * m_offsetSize, m_offsetSize);
    if (offset < 8 || !inObjects(offset, 1))
        return fail("object offset out of range");
    return parse(offset);
}

std::optional<BinaryPlistReader::Object> BinaryPlistReader::parse(std::uint64_t at) const {
    const std::uint8_t marker = m_data[static_cast<std::size_t>(at++)];
    Object value;
    switch (marker >> 4) {
    case 0x0:
        if (marker != 0x08 && marker != 0x09)
            return fail("unsupported value");
        value.kind = Kind::Bool;
        value.boolValue = marker == 0x09;
        return value;
    case 0x1: {
        const unsigned width = 1u << (marker & 0x0F);
        if (width > 16 || !inObjects(at, width))
            return fail("bad integer");
        value.kind = Kind::UInt;
        if (width == 16) {
            // The high half is 0 for unsigned values above INT64_MAX, or the sign of a negative one.
            const std::uint64_t high = bigEndian(at, 8);
            value.uintValue = bigEndian(at + 8, 8);
            if (high != 0 && !(high == ~0ull && (value.uintValue >> 63)))
                return fail("integer beyond 64 bits");
        } else {
            value.uintValue = bigEndian(at, width);
        }
        return value;
    }
    case 0x2: {
        const unsigned width = 1u << (marker & 0x0F);
        if ((width != 4 && width != 8) || !inObjects(at, width))
            return fail("bad real");
        value.kind = Kind::Real;
        const std::uint64_t bits = bigEndian(at, width);
        if (width == 4)
            value.realValue = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        else
            value.realValue = std::bit_cast<double>(bits);
        return value;
    }
    case 0x5:
    case 0x6: {
        const bool utf16 = (marker >> 4) == 0x6;
        auto length = countAt(at, marker);
        if (!length || *length > m_tableOffset || !inObjects(at, *length * (utf16 ? 2 : 1)))
            return fail("bad string");
        value.kind = Kind::String;
        value.at = at;
        value.count = *length;
        value.utf16 = utf16;
        return value;
    }
    case 0x8: {
        const unsigned width = (marker & 0x0F) + 1u;
        if (width > 8 || !inObjects(at, width))
            return fail("bad reference");
        value.kind = Kind::Uid;
        value.uintValue = bigEndian(at, width);
        return value;
    }
    case 0xA:
    case 0xD: {
        const bool isDictionary = (marker >> 4) == 0xD;
        auto count = countAt(at, marker);
        if (!count || *count > m_tableOffset || !inObjects(at, *count * (isDictionary ? 2 : 1) * m_refSize))
            return fail("bad container");
        value.kind = isDictionary ? Kind::Dictionary : Kind::Array;
        value.at = at;
        value.count = *count;
        return value;
    }
    default:
        return fail("unsupported value");
    }
}

std::uint64_t BinaryPlistReader::reference(const Object& container, std::uint64_t k) const {
    return bigEndian(container.at + k * m_refSize, m_refSize);
}

std::string BinaryPlistReader::text(const Object& string) const {
    const auto* bytes = m_data.data() + string.at;
    const auto n = static_cast<std::size_t>(string.count);
    if (!string.utf16)
        return std::string(reinterpret_cast<const char*>(bytes), n);
    std::string out;
    out.reserve(n);
    auto unit = [&](std::size_t i) { return static_cast<char16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]); };
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
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

std::size_t BinaryPlistReader::textLength(const Object& string) const {
    // At most three bytes per unit (a surrogate pair gives four bytes for two units).
    return static_cast<std::size_t>(string.utf16 ? string.count * 3 : string.count);
}

bool BinaryPlistReader::textEquals(const Object& string, std::string_view ascii) const {
    if (string.kind != Kind::String || string.count != ascii.size())
        return false;
    const auto* bytes = m_data.data() + string.at;
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        const auto c = static_cast<unsigned char>(ascii[i]);
        if (string.utf16 ? (bytes[2 * i] != 0 || bytes[2 * i + 1] != c) : bytes[i] != c)
            return false;
    }
    return true;
}

} // namespace bw
