#pragma once
// Commands shown to the user for a POSIX shell: one way to quote a word in them.

#include <string>

namespace bw {

// The text as one shell word: in single quotes, each quote inside written '\''.
std::string shellQuoted(const std::string& text);

// The same only when the text needs it: a non-empty word of letters, digits and "/._+-:@=,%" stays as it
// is, so that the usual command reads plainly.
std::string shellWord(const std::string& text);

} // namespace bw
