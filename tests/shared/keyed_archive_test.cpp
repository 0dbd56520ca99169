#include "plist/keyed_archive.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstring>
#include <limits>

namespace {

using bw::ArchiveValue;
using bw::PlistValue;

PlistValue str(std::string s) {
    PlistValue v;
    v.kind = PlistValue::Kind::String;
    v.stringValue = std::move(s);
    return v;
}
PlistValue uid(std::uint64_t n) {
    PlistValue v;
    v.kind = PlistValue::Kind::Uid;
    v.uintValue = n;
    return v;
}
PlistValue uint(std::uint64_t n) {
    PlistValue v;
    v.kind = PlistValue::Kind::UInt;
    v.uintValue = n;
    return v;
}
PlistValue real(double d) {
    PlistValue v;
    v.kind = PlistValue::Kind::Real;
    v.realValue = d;
    return v;
}
PlistValue arr(std::vector<PlistValue> items) {
    PlistValue v;
    v.kind = PlistValue::Kind::Array;
    v.items = std::move(items);
    return v;
}
PlistValue dict(std::vector<PlistValue::Entry> entries) {
    PlistValue v;
    v.kind = PlistValue::Kind::Dictionary;
    v.entries = std::move(entries);
    return v;
}
PlistValue classDescription(std::vector<std::string> chain) {
    std::vector<PlistValue> names;
    for (auto& n : chain)
        names.push_back(str(n));
    return dict({{"$classname", str(chain.front())}, {"$classes", arr(std::move(names))}});
}
// A keyed archive around a hand-made object table.
std::optional<ArchiveValue> unarchiveTable(std::vector<PlistValue> objects, std::uint64_t root = 1) {
    auto data = bw::binaryPlistData(dict({{"$version", uint(100000)},
                                          {"$archiver", str("NSKeyedArchiver")},
                                          {"$top", dict({{"root", uid(root)}})},
                                          {"$objects", arr(std::move(objects))}}));
    EXPECT_TRUE(data.has_value());
    return bw::unarchiveRootObject(*data);
}

TEST(KeyedArchive, NumbersKeepTheirValuesAndSigns) {
    ArchiveValue root = ArchiveValue::object({"Probe"});
    root.entries.emplace_back("neg", ArchiveValue::fromInt(-5));
    root.entries.emplace_back("min", ArchiveValue::fromInt(std::numeric_limits<std::int64_t>::min()));
    root.entries.emplace_back("big", ArchiveValue::fromUInt(0xFEDCBA9876543210ull));
    root.entries.emplace_back("max", ArchiveValue::fromUInt(std::numeric_limits<std::uint64_t>::max()));
    root.entries.emplace_back("small", ArchiveValue::fromUInt(7));
    root.entries.emplace_back("half", ArchiveValue::fromReal(0.5));
    root.entries.emplace_back("yes", ArchiveValue::fromBool(true));
    auto data = bw::archivedDataWithRootObject(root);
    ASSERT_TRUE(data.has_value());
    auto back = bw::unarchiveRootObject(*data);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(static_cast<std::int64_t>(back->find("neg")->uintValue), -5);
    EXPECT_EQ(static_cast<std::int64_t>(back->find("min")->uintValue), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(back->find("big")->uintValue, 0xFEDCBA9876543210ull);
    EXPECT_EQ(back->find("max")->uintValue, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(back->find("half")->realValue, 0.5);
    EXPECT_EQ(back->find("yes")->kind, ArchiveValue::Kind::Bool);

    // Byte level: negatives are 8-byte integers (signed in the format), unsigned values above
    // INT64_MAX are 16-byte integers with a zero high half, as Apple's reader expects.
    const std::string bytes(data->begin(), data->end());
    const std::string negative("\x13\xff\xff\xff\xff\xff\xff\xff\xfb", 9);
    const std::string bigUnsigned("\x14\0\0\0\0\0\0\0\0\xfe\xdc\xba\x98\x76\x54\x32\x10", 17);
    EXPECT_NE(bytes.find(negative), std::string::npos);
    EXPECT_NE(bytes.find(bigUnsigned), std::string::npos);

    // The system's own property-list library reads the same values.
    plist_t parsed = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(data->data()), static_cast<uint32_t>(data->size()), &parsed);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(plist_array_get_size(plist_dict_get_item(parsed, "$objects")), 10u); // $null, root, 7 numbers, class
    plist_free(parsed);
}

TEST(KeyedArchive, StringsOfAnyBytesRoundTrip) {
    ArchiveValue root = ArchiveValue::dictionary(true);
    const std::string names[] = {"plain.txt",
                                 "caf\xc3\xa9",
                                 "\xf0\x9f\x98\x80 emoji",
                                 "latin1 \xe9t\xe9",
                                 "lone \xed\xa0\x80 surrogate",
                                 "$null",
                                 std::string(300, 'L'),
                                 ""};
    for (const auto& name : names)
        root.entries.emplace_back(name, ArchiveValue::fromString(name));
    auto back = bw::unarchiveRootObject(*bw::archivedDataWithRootObject(root));
    ASSERT_TRUE(back.has_value());
    ASSERT_EQ(back->entries.size(), std::size(names));
    for (std::size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(back->entries[i].first, names[i]);
        EXPECT_EQ(back->entries[i].second.stringValue, names[i]);
    }
}

TEST(KeyedArchive, ReadsTheFormsApplesArchiverWrites) {
    // NSString objects, inline values in an object, a mutable string, a missing key, an XML-style UID.
    auto value = unarchiveTable({
        str("$null"),
        dict({{"name", uid(2)},
              {"flag", PlistValue{PlistValue::Kind::Bool, true, 0, 0, 0.0, {}, {}, {}}},
              {"count", uint(3)},
              {"other", uid(5)},
              {"xml", dict({{"CF$UID", uint(6)}})},
              {"$class", uid(4)}}),
        dict({{"NS.string", str("wrapped")}, {"$class", uid(3)}}),
        classDescription({"NSMutableString", "NSString", "NSObject"}),
        classDescription({"Thing", "NSObject"}),
        dict({{"NS.keys", arr({uid(7)})}, {"NS.objects", arr({real(2.5)})}, {"$class", uid(8)}}),
        str("via CF$UID"),
        str("key"),
        classDescription({"NSDictionary", "NSObject"}),
    });
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->className(), "Thing");
    EXPECT_EQ(value->find("name")->stringValue, "wrapped");
    EXPECT_EQ(value->find("flag")->boolValue, true);
    EXPECT_EQ(value->find("count")->uintValue, 3u);
    EXPECT_EQ(value->find("xml")->stringValue, "via CF$UID");
    const ArchiveValue* other = value->find("other");
    ASSERT_EQ(other->kind, ArchiveValue::Kind::Dictionary);
    EXPECT_EQ(other->find("key")->realValue, 2.5);
    EXPECT_EQ(value->find("absent"), nullptr);
}

TEST(KeyedArchive, RefusesBrokenTablesWithoutCrashing) {
    const PlistValue dictClass = classDescription({"NSDictionary", "NSObject"});
    // A dictionary that contains itself.
    EXPECT_FALSE(unarchiveTable({str("$null"),
                                 dict({{"NS.keys", arr({uid(3)})}, {"NS.objects", arr({uid(1)})}, {"$class", uid(2)}}),
                                 dictClass, str("self")}));
    // References past the table, a root past the table, and a root that is $null.
    EXPECT_FALSE(unarchiveTable({str("$null"),
                                 dict({{"NS.keys", arr({uid(99)})}, {"NS.objects", arr({uid(2)})}, {"$class", uid(2)}}),
                                 dictClass}));
    EXPECT_FALSE(unarchiveTable({str("$null"), str("x")}, 7));
    EXPECT_FALSE(unarchiveTable({str("$null"), str("x")}, 0));
    // Key and value counts that differ, a non-string key, a class that is not a description.
    EXPECT_FALSE(unarchiveTable(
        {str("$null"), dict({{"NS.keys", arr({uid(3), uid(3)})}, {"NS.objects", arr({uid(3)})}, {"$class", uid(2)}}),
         dictClass, str("k")}));
    EXPECT_FALSE(unarchiveTable({str("$null"),
                                 dict({{"NS.keys", arr({uid(3)})}, {"NS.objects", arr({uid(3)})}, {"$class", uid(2)}}),
                                 dictClass, uint(4)}));
    EXPECT_FALSE(unarchiveTable({str("$null"), dict({{"$class", uid(2)}}), str("not a class")}));
    EXPECT_FALSE(unarchiveTable({str("$null"), dict({{"a", uid(1)}})})); // no class at all
    // Deep nesting is refused, not recursed into until the stack ends.
    std::vector<PlistValue> deep{str("$null")};
    for (int i = 1; i < 5000; ++i)
        deep.push_back(dict({{"next", uid(static_cast<std::uint64_t>(i + 1))}, {"$class", uid(5001)}}));
    deep.push_back(str("bottom"));
    deep.push_back(classDescription({"Node", "NSObject"}));
    EXPECT_FALSE(unarchiveTable(std::move(deep)));
    // Sharing that would expand to billions of nodes is refused quickly.
    std::vector<PlistValue> laughs{str("$null")};
    for (int i = 1; i <= 60; ++i)
        laughs.push_back(
            dict({{"NS.objects", arr({uid(static_cast<std::uint64_t>(i + 1)), uid(static_cast<std::uint64_t>(i + 1))})},
                  {"$class", uid(62)}}));
    laughs.push_back(str("leaf"));
    laughs.push_back(classDescription({"NSArray", "NSObject"}));
    EXPECT_FALSE(unarchiveTable(std::move(laughs)));
}

// A binary list whose object 0 is an array of `count` one-byte references to object 1, an array of two
// references to object 2 (true): a few hundred kilobytes that expand to three nodes per reference.
bw::Bytes sharedArrayList(std::uint32_t count) {
    bw::Bytes data = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xAF, 0x12};
    for (int shift = 24; shift >= 0; shift -= 8)
        data.push_back(static_cast<std::uint8_t>(count >> shift));
    data.insert(data.end(), count, 0x01);
    const std::uint32_t second = static_cast<std::uint32_t>(data.size());
    data.insert(data.end(), {0xA2, 0x02, 0x02});
    const std::uint32_t third = static_cast<std::uint32_t>(data.size());
    data.push_back(0x09);
    const std::uint32_t table = static_cast<std::uint32_t>(data.size());
    for (std::uint32_t offset : {8u, second, third})
        for (int shift = 24; shift >= 0; shift -= 8)
            data.push_back(static_cast<std::uint8_t>(offset >> shift));
    data.insert(data.end(), {0, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0});
    for (int shift = 56; shift >= 0; shift -= 8)
        data.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(table) >> shift));
    return data;
}

TEST(KeyedArchive, SharedObjectsCannotExpandWithoutBound) {
    // The expanded tree is bounded in nodes, not only per byte: a small zlib stream inflates to many
    // megabytes, and each node costs a hundred bytes of memory in a reader that may run as root.
    auto small = bw::parseBinaryPlist(sharedArrayList(1000));
    ASSERT_TRUE(small.has_value());
    EXPECT_EQ(small->items.size(), 1000u);
    EXPECT_FALSE(bw::parseBinaryPlist(sharedArrayList(700'000)).has_value());

    // The same inside a well-formed archive: one array object referenced by UID from every slot of another.
    const PlistValue arrayClass = classDescription({"NSArray", "NSObject"});
    std::vector<PlistValue> slots(700'000, uid(3));
    auto archive =
        unarchiveTable({str("$null"), dict({{"NS.objects", arr(std::move(slots))}, {"$class", uid(2)}}), arrayClass,
                        dict({{"NS.objects", arr({uid(4), uid(4)})}, {"$class", uid(2)}}), str("leaf")});
    EXPECT_FALSE(archive.has_value());
}

TEST(KeyedArchive, BinaryReaderRefusesMalformedFiles) {
    auto good = bw::binaryPlistData(arr({str("a"), uint(1)}));
    ASSERT_TRUE(good.has_value());
    EXPECT_TRUE(bw::parseBinaryPlist(*good).has_value());
    // A string holding a zero byte is kept whole (the library parser would abort on it).
    auto withZero = bw::binaryPlistData(str(std::string("a\0b", 3)));
    ASSERT_TRUE(withZero.has_value());
    auto parsed = bw::parseBinaryPlist(*withZero);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->stringValue, std::string("a\0b", 3));
    // Trailers that point anywhere.
    for (std::size_t at = good->size() - 32; at < good->size(); ++at) {
        for (std::uint8_t v : {0x00, 0x01, 0x7f, 0xff}) {
            bw::Bytes broken = *good;
            broken[at] = v;
            (void)bw::parseBinaryPlist(broken);
        }
    }
    // An array that holds itself.
    bw::Bytes cyclic = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xA1, 0x00, 0x08};
    cyclic.insert(cyclic.end(), {0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    cyclic.insert(cyclic.end(), {0, 0, 0, 0, 0, 0, 0, 10});
    EXPECT_FALSE(bw::parseBinaryPlist(cyclic).has_value());
    EXPECT_FALSE(bw::parseBinaryPlist(bw::Bytes{'b', 'p', 'l', 'i', 's', 't'}).has_value());
}

} // namespace
