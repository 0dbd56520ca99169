// Quoting words of the commands shown to the user: always, or only where the shell needs it.

#include "text/shell_quote.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ShellQuote, QuotesAWordSoThatTheShellReadsItBackWhole) {
    using namespace std::string_literals;
    const struct {
        const char* what;
        std::string text;
        std::string quoted; // shellQuoted
        std::string word;   // shellWord
    } cases[] = {
        {"a plain path", "/usr/local/bin", "'/usr/local/bin'", "/usr/local/bin"},
        {"plain punctuation", "a.b_c+d-e:f@g=h,i%j", "'a.b_c+d-e:f@g=h,i%j'", "a.b_c+d-e:f@g=h,i%j"},
        {"a space", "/home/ann/My Apps", "'/home/ann/My Apps'", "'/home/ann/My Apps'"},
        {"a single quote", "it's", "'it'\\''s'", "'it'\\''s'"},
        {"shell characters", "$(rm -rf ~);`x`|&*?", "'$(rm -rf ~);`x`|&*?'", "'$(rm -rf ~);`x`|&*?'"},
        {"empty", "", "''", "''"},
        {"a newline", "a\nb", "'a\nb'", "'a\nb'"},
        {"a NUL byte", "a\0b"s, "'a\0b'"s, "'a\0b'"s},
        {"UTF-8", "caf\xc3\xa9", "'caf\xc3\xa9'", "'caf\xc3\xa9'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bw::shellQuoted(c.text), c.quoted) << c.what;
        EXPECT_EQ(bw::shellWord(c.text), c.word) << c.what;
    }
}

} // namespace
