#pragma once
// A small JSON writer for bw2ctl's machine-readable output: compact, always valid JSON.
// Strings are escaped fully (quote, backslash, every control character); bytes that are not valid
// UTF-8 (file names may hold any byte) are written as U+FFFD so the output stays valid UTF-8.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The JSON string literal of text, quotes included.
std::string jsonQuoted(std::string_view text);
// A JSON number; NaN and infinities, which JSON cannot carry, become null.
std::string jsonNumber(double value);

class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    // The key of the next value inside an object.
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(bool flag);
    JsonWriter& value(double number);
    JsonWriter& value(std::int64_t number);
    JsonWriter& value(std::uint64_t number);
    JsonWriter& null();

    const std::string& text() const { return m_text; }

private:
    void beforeValue();
    JsonWriter& open(char bracket);
    JsonWriter& close(char bracket);

    std::string m_text;
    // One flag per open container: true once it holds an element.
    std::vector<bool> m_hasElement;
    bool m_afterKey = false;
};

} // namespace bw
