#pragma once
// The one UTF-8 reader and writer of the core. Well-formed means what the standard says: no overlong
// forms, no surrogates (U+D800 to U+DFFF), nothing past U+10FFFF, no truncated sequence.

#include <cstddef>
#include <string>
#include <string_view>

namespace bw {

// The length (1 to 4) of the well-formed sequence that starts at text[at], with its code point in
// `codePoint`; 0 when the bytes there are not one (codePoint is then left alone).
std::size_t utf8SequenceAt(std::string_view text, std::size_t at, char32_t& codePoint);

// Whether the whole text is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

// Appends the UTF-8 form of a code point (below U+110000).
void appendUtf8(std::string& out, char32_t codePoint);

} // namespace bw
