#include "plist/plist_json.h"

#include "plist/json_writer.h"
#include "files/utf8.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace bw {

namespace {

struct Parser {
    const std::string& text;
    size_t pos = 0;
    std::string error;
    int depth = 0;

    void skipSpace() {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            ++pos;
    }
    // Takes `c` when it comes next, blanks before it skipped.
    bool take(char c) {
        skipSpace();
        if (pos >= text.size() || text[pos] != c)
            return false;
        ++pos;
        return true;
    }
    bool fail(const std::string& what) {
        if (error.empty())
            error = what + " at offset " + std::to_string(pos);
        return false;
    }
    bool literal(const char* word) {
        const size_t n = std::strlen(word);
        if (text.compare(pos, n, word) != 0)
            return false;
        pos += n;
        return true;
    }

    bool hex4(unsigned* out) {
        if (pos + 4 > text.size())
            return fail("short \\u escape");
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text[pos++];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= unsigned(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= unsigned(c - 'A' + 10);
            else
                return fail("bad \\u escape");
        }
        *out = value;
        return true;
    }

    bool string(std::string* out) {
        if (pos >= text.size() || text[pos] != '"')
            return fail("expected a string");
        ++pos;
        while (pos < text.size() && text[pos] != '"') {
            const char c = text[pos++];
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("control character in a string");
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos >= text.size())
                break;
            const char e = text[pos++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                *out += e;
                break;
            case 'b':
                *out += '\b';
                break;
            case 'f':
                *out += '\f';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case 't':
                *out += '\t';
                break;
            case 'u': {
                unsigned code = 0;
                if (!hex4(&code))
                    return false;
                if (code >= 0xD800 && code < 0xDC00) {
                    unsigned low = 0;
                    if (!literal("\\u") || !hex4(&low) || low < 0xDC00 || low >= 0xE000)
                        return fail("lone surrogate");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xDC00 && code < 0xE000) {
                    return fail("lone surrogate");
                }
                if (code == 0)
                    return fail("NUL in a string");
                appendUtf8(*out, code);
                break;
            }
            default:
                return fail("bad escape");
            }
        }
        if (pos >= text.size())
            return fail("unterminated string");
        ++pos;
        return true;
    }

    PlistPtr number() {
        const size_t start = pos;
        if (pos < text.size() && text[pos] == '-')
            ++pos;
        bool real = false;
        while (pos < text.size()) {
            const char c = text[pos];
            if (c == '.' || c == 'e' || c == 'E' || c == '+' || (c == '-' && pos > start))
                real = true;
            else if (c < '0' || c > '9')
                break;
            ++pos;
        }
        const std::string digits = text.substr(start, pos - start);
        if (digits.empty() || digits == "-") {
            fail("expected a value");
            return nullptr;
        }
        char* end = nullptr;
        errno = 0;
        if (real) {
            const double value = std::strtod(digits.c_str(), &end);
            if (*end || errno == ERANGE || !std::isfinite(value)) {
                fail("bad number");
                return nullptr;
            }
            return PlistPtr(plist_new_real(value));
        }
        if (digits[0] == '-') {
            const long long value = std::strtoll(digits.c_str(), &end, 10);
            if (*end || errno == ERANGE) {
                fail("integer out of range");
                return nullptr;
            }
            return PlistPtr(plist_new_uint(static_cast<uint64_t>(value)));
        }
        const unsigned long long value = std::strtoull(digits.c_str(), &end, 10);
        if (*end || errno == ERANGE) {
            fail("integer out of range");
            return nullptr;
        }
        return PlistPtr(plist_new_uint(value));
    }

    PlistPtr value() {
        if (++depth > 64) {
            fail("nested too deeply");
            return nullptr;
        }
        PlistPtr result = valueInner();
        --depth;
        return result;
    }

    PlistPtr valueInner() {
        skipSpace();
        if (pos >= text.size()) {
            fail("unexpected end");
            return nullptr;
        }
        const char c = text[pos];
        if (c == '{') {
            ++pos;
            PlistPtr dict(plist_new_dict());
            if (take('}'))
                return dict;
            for (;;) {
                skipSpace();
                std::string key;
                if (!string(&key))
                    return nullptr;
                if (!take(':')) {
                    fail("expected ':'");
                    return nullptr;
                }
                PlistPtr item = value();
                if (!item)
                    return nullptr;
                plist_dict_set_item(dict.get(), key.c_str(), item.release());
                if (take(','))
                    continue;
                if (take('}'))
                    return dict;
                fail("expected ',' or '}'");
                return nullptr;
            }
        }
        if (c == '[') {
            ++pos;
            PlistPtr array(plist_new_array());
            if (take(']'))
                return array;
            for (;;) {
                PlistPtr item = value();
                if (!item)
                    return nullptr;
                plist_array_append_item(array.get(), item.release());
                if (take(','))
                    continue;
                if (take(']'))
                    return array;
                fail("expected ',' or ']'");
                return nullptr;
            }
        }
        if (c == '"') {
            std::string s;
            if (!string(&s))
                return nullptr;
            return PlistPtr(plist_new_string(s.c_str()));
        }
        if (literal("true"))
            return PlistPtr(plist_new_bool(1));
        if (literal("false"))
            return PlistPtr(plist_new_bool(0));
        if (literal("null")) {
            fail("null has no property-list form");
            return nullptr;
        }
        return number();
    }
};

std::string base64(const char* data, uint64_t length) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (uint64_t i = 0; i < length; i += 3) {
        const unsigned b0 = static_cast<unsigned char>(data[i]);
        const unsigned b1 = i + 1 < length ? static_cast<unsigned char>(data[i + 1]) : 0;
        const unsigned b2 = i + 2 < length ? static_cast<unsigned char>(data[i + 2]) : 0;
        out += table[b0 >> 2];
        out += table[((b0 & 3) << 4) | (b1 >> 4)];
        out += i + 1 < length ? table[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out += i + 2 < length ? table[b2 & 63] : '=';
    }
    return out;
}

std::string realText(double value) {
    if (!std::isfinite(value))
        return "null";
    char buffer[64];
    // The shortest form that reads back exactly.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0"; // stays a real when read back
    return text;
}

void write(std::string& out, plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        out += '{';
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool first = true;
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            if (!first)
                out += ", ";
            first = false;
            out += jsonQuoted(key ? key : "");
            out += ": ";
            std::free(key);
            write(out, value);
        }
        std::free(it);
        out += '}';
        return;
    }
    case PLIST_ARRAY: {
        out += '[';
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            if (i)
                out += ", ";
            write(out, plist_array_get_item(node, i));
        }
        out += ']';
        return;
    }
    case PLIST_STRING: {
        char* s = nullptr;
        plist_get_string_val(node, &s);
        out += jsonQuoted(s ? s : "");
        std::free(s);
        return;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        out += b ? "true" : "false";
        return;
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        out += std::to_string(static_cast<int64_t>(v));
        return;
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        out += realText(v);
        return;
    }
    case PLIST_DATA: {
        char* data = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &data, &length);
        out += "{\"$data\": \"" + base64(data, length) + "\"}";
        std::free(data);
        return;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        out += "{\"$date\": " + realText(double(sec) + double(usec) / 1e6) + "}";
        return;
    }
    default:
        out += "null";
    }
}

} // namespace

PlistPtr plistFromJson(const std::string& text, std::string* error) {
    Parser parser{text, 0, {}, 0};
    PlistPtr result = parser.value();
    if (result) {
        parser.skipSpace();
        if (parser.pos != text.size()) {
            parser.fail("trailing characters");
            result.reset();
        }
    }
    if (!result && error)
        *error = parser.error;
    return result;
}

std::string plistToJson(plist_t node) {
    if (!node)
        return "null";
    std::string out;
    write(out, node);
    return out;
}

} // namespace bw
