// Display texts: sizes, durations, dates and numbers in two locales; search, replace and HTML.

#include "text/kor_string_utils.h"
#include "text/string_utils_strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bw::KOR_StringUtils;

// Every test names its locale; the next one starts again from the environment's.
class StringUtilsTest : public ::testing::Test {
protected:
    void TearDown() override { KOR_StringUtils::useLocale({}); }
};

TEST_F(StringUtilsTest, SizeTextsInTwoLocales) {
    EXPECT_EQ(KOR_StringUtils::getKBValue(), 1000.0);
    EXPECT_TRUE(KOR_StringUtils::isTigerOrMore());
    struct Case {
        const char* locale;
        std::int64_t bytes;
        const char* size;  // getSizeBytes
        const char* brief; // getShortSizeBytes
        const char* whole; // getIntSizeBytes
    } cases[] = {
        {"en_US", 0, "0 byte", "0 byte", "0"},
        {"en_US", 1, "1 byte", "1 byte", "1"},
        {"en_US", 999, "999 bytes", "999 bytes", "999"},
        {"en_US", 1000, "1.0 KB", "1.0 KB", "1000"},
        {"en_US", 1500, "1.5 KB", "1.5 KB", "1.5KB"},
        {"en_US", -1500, "-1.5 KB", "-1.5 KB", "-1.5KB"},
        {"en_US", 15000, "15.0 KB", "15.0 KB", "15KB"},
        {"en_US", 12345678, "12.3 MB", "12 MB", "12MB"},
        {"en_US", 1500000000, "1.50 GB", "1.5 GB", "1.5GB"},
        {"en_US", 12000000000, "12.00 GB", "12 GB", "12GB"},
        {"en_US", 2300000000000, "2300.00 GB", "2300 GB", "2.3TB"},
        {"de_DE", 999, "999 bytes", "999 bytes", "999"},
        {"de_DE", 1500, "1,5 KB", "1,5 KB", "1,5KB"},
        {"de_DE", -1500, "-1,5 KB", "-1,5 KB", "-1,5KB"},
        {"de_DE", 15000, "15,0 KB", "15,0 KB", "15KB"},
        {"de_DE", 1500000000, "1,50 GB", "1,5 GB", "1,5GB"},
        {"de_DE", 2300000000000, "2300,00 GB", "2300 GB", "2,3TB"},
    };
    for (const Case& c : cases) {
        KOR_StringUtils::useLocale(c.locale);
        EXPECT_EQ(KOR_StringUtils::getSizeBytes(c.bytes), c.size) << c.locale << " " << c.bytes;
        EXPECT_EQ(KOR_StringUtils::getShortSizeBytes(c.bytes), c.brief) << c.locale << " " << c.bytes;
        EXPECT_EQ(KOR_StringUtils::getIntSizeBytes(c.bytes), c.whole) << c.locale << " " << c.bytes;
    }
    for (const std::string& key : bw::stringUtilsStringKeys()) {
        EXPECT_EQ(key.rfind("StringUtils_", 0), 0u) << key;
        EXPECT_NE(bw::stringUtilsString(key), key);
    }
    EXPECT_EQ(bw::stringUtilsString("StringUtils_No such key"), "StringUtils_No such key");
}

TEST_F(StringUtilsTest, Durations) {
    struct Case {
        std::int64_t seconds;
        const char* text;
    } cases[] = {{0, "0:00"},       {59, "0:59"},          {65, "1:05"},   {3599, "59:59"},    {3600, "1:00:00"},
                 {3725, "1:02:05"}, {360000, "100:00:00"}, {-65, "-1:05"}, {-3725, "-1:02:05"}};
    for (const Case& c : cases)
        EXPECT_EQ(KOR_StringUtils::getDuration(c.seconds), c.text) << c.seconds;
}

TEST_F(StringUtilsTest, DatesInTwoLocalesAndBack) {
    // 2026-12-06 09:05:30 UTC in seconds since 2001.
    const double when = 818240730.0;
    struct Case {
        const char* locale;
        const char* shortDate;
        const char* shortTime;
        const char* shortTimeDate;
        const char* mediumDate;
    } cases[] = {
        {"en_US", "12/6/26", "9:05\u202FAM", "12/6/26, 9:05\u202FAM", "Dec 6, 2026"},
        {"de_DE", "06.12.26", "09:05", "06.12.26, 09:05", "06.12.2026"},
        {"fr_FR", "06/12/2026", "09:05", "06/12/2026 09:05", "6 d\u00E9c. 2026"},
    };
    for (const Case& c : cases) {
        KOR_StringUtils::useLocale(c.locale, "UTC");
        EXPECT_EQ(KOR_StringUtils::getShortDate(when), c.shortDate) << c.locale;
        EXPECT_EQ(KOR_StringUtils::getShortTime(when), c.shortTime) << c.locale;
        EXPECT_EQ(KOR_StringUtils::getShortTimeDate(when), c.shortTimeDate) << c.locale;
        EXPECT_EQ(KOR_StringUtils::getMediumDate(when), c.mediumDate) << c.locale;
        EXPECT_EQ(KOR_StringUtils::getShortTimeDate(std::nullopt), "?");
        EXPECT_EQ(KOR_StringUtils::getLongTimeSecondsDate(std::nullopt), "?");
        // The forms with seconds read back to the same second.
        EXPECT_EQ(KOR_StringUtils::getShortTimeSecondsDateFromString(KOR_StringUtils::getShortTimeSecondsDate(when)),
                  when)
            << c.locale;
        EXPECT_EQ(KOR_StringUtils::getMediumTimeSecondsDateFromString(KOR_StringUtils::getMediumTimeSecondsDate(when)),
                  when)
            << c.locale;
        EXPECT_EQ(KOR_StringUtils::getLongTimeSecondsDateFromString(KOR_StringUtils::getLongTimeSecondsDate(when)),
                  when)
            << c.locale;
        EXPECT_FALSE(KOR_StringUtils::getShortTimeSecondsDateFromString("not a date")) << c.locale;
        EXPECT_FALSE(KOR_StringUtils::getShortTimeSecondsDateFromString("")) << c.locale;
    }
    // The zone moves the clock: Paris is an hour ahead in December.
    KOR_StringUtils::useLocale("de_DE", "Europe/Paris");
    EXPECT_EQ(KOR_StringUtils::getShortTime(when), "10:05");
}

TEST_F(StringUtilsTest, NumbersWithSeparators) {
    struct Case {
        const char* locale;
        std::int64_t whole;
        const char* wholeText;
        double number;
        const char* plain;
        const char* grouped;
        const char* currency;
    } cases[] = {
        {"en_US", 1234567, "1,234,567", 1234.5, "1234.5", "1,234.5", "$1,234.50"},
        {"en_US", -1000, "-1,000", 0.25, "0.25", "0.25", "$0.25"},
        {"en_US", 999, "999", 1e6, "1000000", "1,000,000", "$1,000,000.00"},
        {"de_DE", 1234567, "1.234.567", 1234.5, "1234,5", "1.234,5", "1.234,50\u00A0\u20AC"},
        {"fr_FR", 1234567, "1\u202F234\u202F567", 1234.5, "1234,5", "1\u202F234,5", "1\u202F234,50\u00A0\u20AC"},
    };
    for (const Case& c : cases) {
        KOR_StringUtils::useLocale(c.locale);
        EXPECT_EQ(KOR_StringUtils::getNumberWithThousandsSeparator(c.whole), c.wholeText) << c.locale;
        EXPECT_EQ(KOR_StringUtils::getStringFromNumber(c.number), c.plain) << c.locale;
        EXPECT_EQ(KOR_StringUtils::getStringFromNumberWithThousandsSeparator(c.number), c.grouped) << c.locale;
        EXPECT_EQ(KOR_StringUtils::getStringForCurrency(c.number), c.currency) << c.locale;
    }
}

TEST_F(StringUtilsTest, AccentFreeTexts) {
    struct Case {
        const char* text;
        const char* ascii;
    } cases[] = {
        {"\u00C9v\u00E9nement \u00E0 5 \u20AC", "Evenement a 5 "},
        {"Why? Na\u00EFve \u00E7a?", "Why? Naive ca?"},
        {"\u00D8re, \u0141\u00F3d\u017A, Stra\u00DFe, \u00C6sop", "Ore, Lodz, Strasse, AEsop"},
        {"\u65E5\u672C report.txt", " report.txt"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KOR_StringUtils::stringNoAccent(c.text), c.ascii) << c.text;
}

TEST_F(StringUtilsTest, SearchTable) {
    struct Case {
        const char* terms;
        const char* text;
        bool allParts;
        bool plain;    // searchString
        bool noAccent; // searchStringNoAccent
    } cases[] = {
        {"cafe,menu", "Menu du Caf\u00E9", true, false, true},
        {"cafe,,tea", "Menu du Caf\u00E9", false, false, true},
        {"caf\u00C9", "Menu du caf\u00E9", false, true, true},
        {"MENU", "Menu du Caf\u00E9", false, true, true},
        {"menu,tea", "Menu du Caf\u00E9", true, false, false},
        {"menu,tea", "Menu du Caf\u00E9", false, true, true},
        {",", "Menu", true, true, true},    // only empty terms: all of them are "found"
        {",", "Menu", false, false, false}, // and none counts as a find
        {"menu", "", false, false, false},
        {"", "Menu", false, false, false},
        {"ecole", "\u00C9COLE.pdf", false, false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KOR_StringUtils::searchString(c.terms, c.text, c.allParts), c.plain) << c.terms << " | " << c.text;
        EXPECT_EQ(KOR_StringUtils::searchStringNoAccent(c.terms, c.text, c.allParts), c.noAccent)
            << c.terms << " | " << c.text;
    }
    EXPECT_TRUE(KOR_StringUtils::searchString("du;caf\u00E9", "Menu du Caf\u00E9", ";", true));
    EXPECT_TRUE(KOR_StringUtils::searchStrings({"du", "CAF\u00C9"}, "Menu du Caf\u00E9", true));
    EXPECT_TRUE(KOR_StringUtils::searchStringsNoAccent({"du", "cafe"}, "Menu du Caf\u00E9", true));
    EXPECT_FALSE(KOR_StringUtils::searchStrings({}, "Menu du Caf\u00E9", true));
}

TEST_F(StringUtilsTest, CaseInsensitiveReplace) {
    struct Case {
        const char* text;
        const char* oldString;
        const char* newString;
        const char* result;
    } cases[] = {
        {"Cat cat CAT", "cat", "dog", "dog dog dog"},
        {"aaa", "a", "aa", "aaaaaa"}, // inserted text is not searched again
        {"abcabc", "ABC", "", ""},
        {"\u00C9t\u00E9 \u00E9T\u00C9", "\u00E9t\u00E9", "summer", "summer summer"},
        {"ab", "abc", "x", "ab"},            // old string longer than the text
        {"unchanged", "", "x", "unchanged"}, // nothing to look for
        {"x\u00E9x", "X", "[y]", "[y]\u00E9[y]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KOR_StringUtils::replaceInString(c.text, c.oldString, c.newString), c.result) << c.text;
}

TEST_F(StringUtilsTest, HtmlRoundTrip) {
    struct Case {
        const char* text;
        const char* html;
    } cases[] = {
        {"Tom & Jerry <3 \"cheese\" > 'milk'", "Tom &amp; Jerry &lt;3 &quot;cheese&quot; &gt; 'milk'"},
        {"\u00C9t\u00E9 \u00E9t\u00E9 \u00C6 \u00E6", "&Eacute;t&eacute; &eacute;t&eacute; &AElig; &aelig;"},
        {"5 \u20AC \u2116 7 \u0100\u0101 \u0160", "5 &euro; &#8470; 7 &#256;&#257; &#352;"},
        {"<b>not bold</b>", "&lt;b&gt;not bold&lt;/b&gt;"},
        {"\u65E5\u672C \u00DF", "\u65E5\u672C \u00DF"}, // other characters stay as they are
    };
    for (const Case& c : cases) {
        const std::string html = KOR_StringUtils::textToHTML(c.text);
        EXPECT_EQ(html, c.html) << c.text;
        EXPECT_EQ(KOR_StringUtils::HTMLtoText(html), c.text) << html;
    }
    struct Reading {
        const char* html;
        const char* text;
    } readings[] = {
        {"<p>One</p><p>Two&nbsp;words</p>", "One\nTwo\u00A0words"},
        {"a<br>b<BR/>c", "a\nb\nc"},
        {"  lots \n of\t space  ", "lots of space"},
        {"<!-- hidden --><style>p{}</style>shown", "shown"},
        {"&#x41;&#66;&unknown; & 1 < 2", "AB&unknown; & 1 < 2"},
        {"&#0; &#x110000;", "\uFFFD \uFFFD"},
        // Cut-off markup stays text; an unclosed script hides the rest.
        {"a <", "a <"},
        {"<b", "<b"},
        {"&#", "&#"},
        {"&#x;&;", "&#x;&;"},
        {"x<script>never closed", "x"},
    };
    for (const Reading& r : readings)
        EXPECT_EQ(KOR_StringUtils::HTMLtoText(r.html), r.text) << r.html;
}

TEST_F(StringUtilsTest, PathNames) {
    EXPECT_EQ(KOR_StringUtils::localizedNameAtPath("/home/ann/Report.txt"), "Report.txt");
    EXPECT_EQ(KOR_StringUtils::localizedNameAtPath("/media/ann/Data/"), "Data");
    EXPECT_EQ(KOR_StringUtils::localizedNameAtPath("/"), "/");
    EXPECT_EQ(KOR_StringUtils::localizedPath("/home/ann"), "/home/ann");
    // A mounted volume other than "/" is named after its mount point; /proc is mounted everywhere.
    EXPECT_EQ(KOR_StringUtils::volumeNameAtPath("/proc/self/status"), "proc");
    EXPECT_FALSE(KOR_StringUtils::volumeNameAtPath("/").empty());
    EXPECT_EQ(KOR_StringUtils::volumeNameAtPath(""), "");
}

} // namespace
