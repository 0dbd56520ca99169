#include "text/shell_quote.h"

#include <cctype>
#include <cstring>

namespace bw {

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string shellWord(const std::string& text) {
    bool plain = !text.empty();
    for (unsigned char c : text)
        plain = plain && c != '\0' && (std::isalnum(c) || std::strchr("/._+-:@=,%", c));
    return plain ? text : shellQuoted(text);
}

} // namespace bw
