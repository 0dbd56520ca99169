#include "plist/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(JsonWriter, StringsAreEscapedAndStayValidUtf8) {
    EXPECT_EQ(bw::jsonQuoted("plain"), "\"plain\"");
    EXPECT_EQ(bw::jsonQuoted("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(bw::jsonQuoted("tab\tnl\ncr\rbs\bff\f"), "\"tab\\tnl\\ncr\\rbs\\bff\\f\"");
    EXPECT_EQ(bw::jsonQuoted(std::string("\x01\x1f\x7f\0x", 5)), "\"\\u0001\\u001f\\u007f\\u0000x\"");
    EXPECT_EQ(bw::jsonQuoted("caf\xc3\xa9 \xf0\x9f\x98\x80"), "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"");
    // Latin-1 bytes, a truncated sequence, an overlong form and an encoded surrogate: each bad byte is U+FFFD.
    EXPECT_EQ(bw::jsonQuoted("\xe9t\xe9"), "\"\\ufffdt\\ufffd\"");
    EXPECT_EQ(bw::jsonQuoted("x\xe2\x82"), "\"x\\ufffd\\ufffd\"");
    EXPECT_EQ(bw::jsonQuoted("\xc0\xaf"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(bw::jsonQuoted("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
}

TEST(JsonWriter, NumbersAndStructure) {
    EXPECT_EQ(bw::jsonNumber(786000000.0), "786000000");
    EXPECT_EQ(bw::jsonNumber(786000000.25), "786000000.25");
    EXPECT_EQ(bw::jsonNumber(-3.25), "-3.25");
    EXPECT_EQ(bw::jsonNumber(0.0), "0");
    EXPECT_EQ(bw::jsonNumber(1e300), "1e+300");
    EXPECT_EQ(bw::jsonNumber(std::nan("")), "null");
    EXPECT_EQ(bw::jsonNumber(std::numeric_limits<double>::infinity()), "null");

    bw::JsonWriter json;
    json.beginObject();
    json.key("a").value(true);
    json.key("b").beginArray().value(std::uint64_t{18446744073709551615ull}).value(std::int64_t{-1}).null().endArray();
    json.key("c").beginObject().endObject();
    json.key("d").value("x");
    json.endObject();
    EXPECT_EQ(json.text(), "{\"a\":true,\"b\":[18446744073709551615,-1,null],\"c\":{},\"d\":\"x\"}");
}

} // namespace
