// Selecting cached items by place, name, date and size, and placing restored items.

#include "item_filter.h"
#include "recovery_copy.h"
#include "plist/reference_time.h"
#include "restore_layout.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using bw::test::TempDir;
using bw::test::writeFile;

constexpr double kNow = 800000000.0;

bw::RecoveryItem item(const std::string& name, double date, std::optional<std::uint64_t> size,
                      std::optional<std::string> original, bool folder = false) {
    bw::RecoveryItem i;
    i.displayName = name;
    i.storedName = name + "-id";
    i.rawItemPath = "/cache/b/" + i.storedName;
    i.cacheDate = date;
    i.itemSize = size;
    i.originalPath = std::move(original);
    i.isFolder = folder;
    return i;
}

std::vector<std::string> names(const std::vector<bw::RecoveryItem>& items) {
    std::vector<std::string> out;
    for (const auto& i : items)
        out.push_back(i.displayName);
    return out;
}

TEST(ItemFilter, ReadsAgesDatesAndSizes) {
    struct tm parts = {};
    parts.tm_year = 2026 - 1900;
    parts.tm_mon = 11;
    parts.tm_mday = 1;
    parts.tm_hour = 10;
    parts.tm_min = 30;
    parts.tm_isdst = -1;
    const double tenThirty = bw::referenceTimeFromUnix(static_cast<double>(std::mktime(&parts)));
    struct MomentCase {
        std::string text;
        std::optional<double> expected;
    };
    const std::vector<MomentCase> moments = {
        {"90s", kNow - 90},          {"30m", kNow - 1800},     {"2h", kNow - 7200},
        {"3d", kNow - 3 * 86400},    {"1.5d", kNow - 129600},  {"2w", kNow - 14 * 86400},
        {"2026-12-01T10:30", tenThirty}, {"2026-12-01 10:30:00", tenThirty}, {"2026-12-01", tenThirty - 37800},
        {"", std::nullopt},          {"h", std::nullopt},      {"-2h", std::nullopt},
        {"2x", std::nullopt},        {"2026-13-45", std::nullopt}, {"yesterday", std::nullopt},
    };
    for (const MomentCase& c : moments) {
        const auto got = bw::parseMomentText(c.text, kNow);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.text;
        if (got) {
            EXPECT_DOUBLE_EQ(*got, *c.expected) << c.text;
        }
    }

    struct SizeCase {
        std::string text;
        std::optional<std::uint64_t> expected;
    };
    const std::vector<SizeCase> sizes = {
        {"512", 512},         {"10k", 10000},       {"10K", 10000},        {"10M", 10000000},
        {"10MB", 10000000},   {"1.5G", 1500000000}, {"1T", 1000000000000}, {"1KiB", 1024},
        {"2MiB", 2097152},    {"0", 0},             {"", std::nullopt},    {"M", std::nullopt},
        {"10Q", std::nullopt}, {"-1", std::nullopt}, {"1e3", std::nullopt}, {"99999999999T", std::nullopt},
    };
    for (const SizeCase& c : sizes)
        EXPECT_EQ(bw::parseSizeText(c.text), c.expected) << c.text;
}

TEST(ItemFilter, PathsAreCleanedAndCompared) {
    struct Case {
        std::string path, working, expected;
    };
    const std::vector<Case> cases = {
        {"notes.txt", "/home/u", "/home/u/notes.txt"}, {"./a/../b//c", "/home/u", "/home/u/b/c"},
        {"/x/./y/", "/home/u", "/x/y"},                {"../../../..", "/home/u", "/"},
        {".", "/home/u/", "/home/u"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bw::absoluteCleanPath(c.path, c.working), c.expected) << c.path;
    EXPECT_TRUE(bw::pathIsBelow("/home/u/a", "/home/u"));
    EXPECT_TRUE(bw::pathIsBelow("/a", "/"));
    EXPECT_FALSE(bw::pathIsBelow("/home/user2/a", "/home/u"));
    EXPECT_FALSE(bw::pathIsBelow("/home/u", "/home/u"));
}

TEST(ItemFilter, EveryLimitNarrowsAndTheyCombine) {
    const std::vector<bw::RecoveryItem> items = {
        item("École.pdf", kNow - 60, 3000000, "/home/u/docs/École.pdf"),
        item("big.iso", kNow - 7200, 5000000000, "/home/u/big.iso"),
        item("Photos", kNow - 100, std::nullopt, "/home/u/docs/Photos", true),
        item("empty.txt", kNow - 3 * 86400, std::nullopt, "/home/user2/empty.txt"),
        item("unknown.txt", kNow - 10, 10, std::nullopt),
    };
    struct Case {
        bw::ItemFilter filter;
        std::vector<std::string> expected;
    };
    const auto from = [](std::string f) { bw::ItemFilter x; x.insideFolder = f; return x; };
    const auto search = [](std::string s) { bw::ItemFilter x; x.search = s; return x; };
    bw::ItemFilter recent;
    recent.since = kNow - 3600;
    bw::ItemFilter old;
    old.until = kNow - 3600;
    bw::ItemFilter large;
    large.largerThan = 1000000;
    bw::ItemFilter small;
    small.smallerThan = 1000000;
    bw::ItemFilter combined = from("/home/u");
    combined.since = kNow - 3600;
    combined.smallerThan = 4000000;
    const std::vector<Case> cases = {
        {{}, {"École.pdf", "big.iso", "Photos", "empty.txt", "unknown.txt"}},
        {from("/home/u"), {"École.pdf", "big.iso", "Photos"}},
        {from("/home/u/docs"), {"École.pdf", "Photos"}},
        {from("/"), {"École.pdf", "big.iso", "Photos", "empty.txt"}},
        {search("ECOLE"), {"École.pdf"}},
        {recent, {"École.pdf", "Photos", "unknown.txt"}},
        {old, {"big.iso", "empty.txt"}},
        {large, {"École.pdf", "big.iso"}},
        {small, {"empty.txt", "unknown.txt"}},
        {combined, {"École.pdf"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(names(bw::filterItems(items, cases[i].filter)), cases[i].expected) << "case " << i;
}

TEST(RestoreLayout, FindsByOriginalPathAndKeepsTheLayoutBelowTheCommonParent) {
    const std::vector<bw::RecoveryItem> items = {
        item("a.txt", kNow, 1, "/home/u/p/one/a.txt"),
        item("b.txt", kNow - 1, 1, "/home/u/p/two/deep/b.txt"),
        item("a.txt", kNow - 2, 1, "/home/u/p/one/a.txt"),
        item("lost", kNow - 3, 1, std::nullopt),
    };
    EXPECT_EQ(bw::itemsTrashedFrom(items, "/home/u/p/one//a.txt").size(), 2u);
    EXPECT_EQ(bw::itemsTrashedFrom(items, "/home/u/p/one/a.txt").front().cacheDate, kNow); // newest first
    EXPECT_TRUE(bw::itemsTrashedFrom(items, "/home/u/p/one").empty());

    struct Case {
        std::vector<std::size_t> chosen;
        std::string common;
        std::vector<std::string> destinations; // into /out
    };
    const std::vector<Case> cases = {
        {{0, 1}, "/home/u/p", {"/out/one/a.txt", "/out/two/deep/b.txt"}},
        {{0}, "/home/u/p/one", {"/out/a.txt"}},
        {{1, 3}, "/home/u/p/two/deep", {"/out/b.txt", "/out/lost"}},
        {{3}, "", {"/out/lost"}},
    };
    for (const Case& c : cases) {
        std::vector<bw::RecoveryItem> chosen;
        for (std::size_t i : c.chosen)
            chosen.push_back(items[i]);
        const std::string common = bw::commonParentFolder(chosen);
        EXPECT_EQ(common, c.common);
        for (std::size_t i = 0; i < chosen.size(); ++i)
            EXPECT_EQ(bw::layoutDestination(chosen[i], common, "/out/"), c.destinations[i]);
    }
    std::vector<bw::RecoveryItem> apart = {item("x", kNow, 1, "/srv/x"), item("y", kNow, 1, "/home/y")};
    EXPECT_EQ(bw::commonParentFolder(apart), "/");
    EXPECT_EQ(bw::layoutDestination(apart[0], "/", "/out"), "/out/srv/x");
}

TEST(RestoreLayout, PlannedPathsFollowTheFreeNameRuleAcrossThePlan) {
    TempDir tmp{"bw2plan"};
    writeFile(tmp / "a.txt", "taken");
    std::set<std::string> used;
    EXPECT_EQ(bw::plannedPath(tmp / "a.txt", used), tmp / "a - 1.txt");
    EXPECT_EQ(bw::plannedPath(tmp / "a.txt", used), tmp / "a - 2.txt");
    EXPECT_EQ(bw::plannedPath(tmp / "b.txt", used), tmp / "b.txt");
    EXPECT_EQ(bw::plannedPath(tmp / "b.txt", used), tmp / "b - 1.txt");
    EXPECT_EQ(bw::plannedPath(tmp / "new/b.txt", used), tmp / "new/b.txt"); // a folder still to be made
}

} // namespace
