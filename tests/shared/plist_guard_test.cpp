#include "plist/plist_guard.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

void appendBigEndian(std::string& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A binary list of `count` arrays where array i holds `fanOut` references to array i + 1 (the last one
// is empty), or, with `cycle`, where the last array refers back to the first.
std::string chainOfArrays(std::uint64_t count, int fanOut, bool cycle = false) {
    std::string data = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t i = 0; i < count; ++i) {
        offsets.push_back(data.size());
        bool last = i + 1 == count;
        if (last && !cycle) {
            data += static_cast<char>(0xA0);
            continue;
        }
        data += static_cast<char>(0xA0 | fanOut);
        for (int k = 0; k < fanOut; ++k)
            appendBigEndian(data, last ? 0 : i + 1, 4);
    }
    std::uint64_t table = data.size();
    for (auto offset : offsets)
        appendBigEndian(data, offset, 4);
    data += std::string(6, '\0');
    data += '\x04'; // offset width
    data += '\x04'; // reference width
    appendBigEndian(data, count, 8);
    appendBigEndian(data, 0, 8);
    appendBigEndian(data, table, 8);
    return data;
}

std::string nestedXmlArrays(int depth) {
    std::string data = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i)
        data += "<array>";
    data += "<array/><string>x</string>";
    for (int i = 0; i < depth; ++i)
        data += "</array>";
    return data + "</plist>";
}

} // namespace

TEST(PlistGuard, DeepNestingIsRefusedBeforeParsing) {
    // Deep enough to overflow libplist's recursive parsers on an 8 MiB stack.
    EXPECT_FALSE(bw::parsePlist(nestedXmlArrays(200'000)));
    EXPECT_FALSE(bw::parsePlist(chainOfArrays(200'000, 1)));

    bw::PlistPtr shallow = bw::parsePlist(nestedXmlArrays(20));
    ASSERT_TRUE(shallow);
    EXPECT_EQ(plist_get_node_type(shallow.get()), PLIST_ARRAY);
    EXPECT_TRUE(bw::parsePlist(chainOfArrays(20, 1)));

    bw::PlistLimits tight{5, 1000};
    EXPECT_TRUE(bw::plistWithinLimits(nestedXmlArrays(5), tight)); // <array/> does not nest
    EXPECT_FALSE(bw::plistWithinLimits(nestedXmlArrays(6), tight));
    EXPECT_FALSE(bw::plistWithinLimits(chainOfArrays(10, 1), tight));
}

TEST(PlistGuard, SharedReferencesCountEveryCopy) {
    // 2^60 nodes once expanded, from a few hundred bytes.
    std::string bomb = chainOfArrays(60, 2);
    EXPECT_LT(bomb.size(), 1000u);
    EXPECT_FALSE(bw::parsePlist(bomb));

    bw::PlistPtr small = bw::parsePlist(chainOfArrays(8, 2)); // 255 nodes
    ASSERT_TRUE(small);
    EXPECT_EQ(plist_array_get_size(small.get()), 2u);
    EXPECT_FALSE(bw::plistWithinLimits(chainOfArrays(8, 2), {64, 254}));
    EXPECT_TRUE(bw::plistWithinLimits(chainOfArrays(8, 2), {64, 255}));
}

TEST(PlistGuard, BrokenBinaryDataIsRefused) {
    EXPECT_FALSE(bw::parsePlist(chainOfArrays(3, 1, true))); // cycle
    EXPECT_FALSE(bw::parsePlist(""));
    EXPECT_FALSE(bw::parsePlist("bplist00"));
    std::string data = chainOfArrays(4, 1);
    EXPECT_FALSE(bw::parsePlist(data.substr(0, data.size() - 1)));
    std::string badReference = data;
    badReference[9 + 3] = '\x09'; // first array refers to object 9 of 4
    EXPECT_FALSE(bw::plistWithinLimits(badReference));
}

TEST(PlistGuard, OrdinaryListsParseInBothFormats) {
    plist_t dict = plist_new_dict();
    plist_t list = plist_new_array();
    for (int i = 0; i < 100; ++i)
        plist_array_append_item(list, plist_new_string("entry"));
    plist_dict_set_item(dict, "list", list);
    plist_dict_set_item(dict, "n", plist_new_uint(static_cast<std::uint64_t>(-7)));
    for (bool binary : {true, false}) {
        char* raw = nullptr;
        std::uint32_t length = 0;
        if (binary)
            plist_to_bin(dict, &raw, &length);
        else
            plist_to_xml(dict, &raw, &length);
        std::string data(raw, length);
        free(raw);
        EXPECT_EQ(bw::isBinaryPlist(data), binary);
        bw::PlistPtr back = bw::parsePlist(data);
        ASSERT_TRUE(back);
        EXPECT_EQ(plist_array_get_size(plist_dict_get_item(back.get(), "list")), 100u);
    }
    plist_free(dict);
}
