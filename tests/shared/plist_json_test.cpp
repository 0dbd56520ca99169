// JSON in and out of property lists (bw2ctl notify).

#include "plist/plist_json.h"

#include <gtest/gtest.h>

using namespace bw;

namespace {

std::string roundTrip(const std::string& json) {
    std::string error;
    PlistPtr node = plistFromJson(json, &error);
    return node ? plistToJson(node.get()) : "error: " + error;
}

} // namespace

TEST(PlistJson, NumbersKeepTheirKindAndTextsTheirCharacters) {
    EXPECT_EQ(roundTrip(R"({"i": 3, "n": -7, "r": 2.0, "e": 1e3, "b": [true, false]})"),
              R"({"i": 3, "n": -7, "r": 2.0, "e": 1000.0, "b": [true, false]})");
    std::string error;
    PlistPtr node = plistFromJson(R"({"i": 3, "r": 3.0})", &error);
    ASSERT_TRUE(node);
    EXPECT_EQ(plist_get_node_type(plist_dict_get_item(node.get(), "i")), PLIST_UINT);
    EXPECT_EQ(plist_get_node_type(plist_dict_get_item(node.get(), "r")), PLIST_REAL);
    EXPECT_EQ(roundTrip(R"("a\"b\\c\n\u00e9\ud83d\ude00\u0001")"), "\"a\\\"b\\\\c\\n\xc3\xa9\xf0\x9f\x98\x80\\u0001\"");
    EXPECT_EQ(roundTrip(R"({"empty": {}, "list": []})"), R"({"empty": {}, "list": []})");
    EXPECT_EQ(roundTrip("9223372036854775807"), "9223372036854775807");
}

TEST(PlistJson, RefusesWhatIsNoPropertyList) {
    for (const char* bad : {"", "null", "{\"a\": null}", "{\"a\" 1}", "[1,]", "[1] x", "\"\\ud800\"", "\"\\u0000\"",
                            "99999999999999999999999", "1-2", "{\"a\": tru}", "\"open"}) {
        std::string error;
        EXPECT_FALSE(plistFromJson(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(PlistJson, OutputStaysValidJsonWhateverAStringHolds) {
    // Strings set through the library API may hold any byte; the JSON written must still be valid UTF-8.
    PlistPtr node(plist_new_dict());
    plist_dict_set_item(node.get(), "k\x7f", plist_new_string("caf\xc3\xa9 \xe9\b\f"));
    EXPECT_EQ(plistToJson(node.get()), "{\"k\\u007f\": \"caf\xc3\xa9 \\ufffd\\b\\f\"}");
}
