#include "plist/json_writer.h"

#include "files/utf8.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace bw {

std::string jsonQuoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out.push_back(static_cast<char>(c));
                }
            }
            ++i;
            continue;
        }
        char32_t ignored = 0;
        const std::size_t length = utf8SequenceAt(text, i, ignored);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    out.push_back('"');
    return out;
}

std::string jsonNumber(double value) {
    if (!std::isfinite(value))
        return "null";
    // Plain decimals for the times and sizes people read; exponents only at the extremes.
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0.0 || (magnitude >= 1e-6 && magnitude < 1e21);
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      plain ? std::chars_format::fixed : std::chars_format::general);
    return std::string(buffer, result.ptr);
}

void JsonWriter::beforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_hasElement.empty()) {
        if (m_hasElement.back())
            m_text.push_back(',');
        m_hasElement.back() = true;
    }
}

JsonWriter& JsonWriter::open(char bracket) {
    beforeValue();
    m_text.push_back(bracket);
    m_hasElement.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
    m_text.push_back(bracket);
    if (!m_hasElement.empty())
        m_hasElement.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginObject() {
    return open('{');
}

JsonWriter& JsonWriter::endObject() {
    return close('}');
}

JsonWriter& JsonWriter::beginArray() {
    return open('[');
}

JsonWriter& JsonWriter::endArray() {
    return close(']');
}

JsonWriter& JsonWriter::key(std::string_view name) {
    beforeValue();
    m_text += jsonQuoted(name);
    m_text.push_back(':');
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    beforeValue();
    m_text += jsonQuoted(text);
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    beforeValue();
    m_text += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::value(double number) {
    beforeValue();
    m_text += jsonNumber(number);
    return *this;
}

JsonWriter& JsonWriter::value(std::int64_t number) {
    beforeValue();
    m_text += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t number) {
    beforeValue();
    m_text += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::null() {
    beforeValue();
    m_text += "null";
    return *this;
}

} // namespace bw
