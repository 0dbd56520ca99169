// The recovery tab's state: search, automatic window, controls, the folder view and the row texts.

#include "recovery_fixture.h"
#include "recovery_list.h"
#include "recovery_list_state.h"
#include "recovery_texts.h"
#include "text/text_folding.h"
#include "sub_folder_browser.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

namespace {

using bw::test::namesOf;

constexpr double kNow = 800000000.0;

bw::RecoveryItem item(const std::string& name, double date, bool folder = false) {
    bw::RecoveryItem i;
    i.displayName = name;
    i.cacheDate = date;
    i.batchLastAddition = date;
    i.isFolder = folder;
    i.storedName = name;
    return i;
}

std::vector<std::string> shown(bw::RecoveryListState& state) {
    std::vector<std::string> names;
    const std::size_t rows = state.numberOfRows();
    for (std::size_t i = 0; i < rows; ++i)
        names.push_back(state.row(i).displayName);
    return names;
}

TEST(RecoverySearch, IgnoresCaseAndAccentsAndFiltersTheFullListEachTime) {
    bw::RecoveryListState state;
    state.changeDisplaySetting({item("École.pdf", 5), item("report.TXT", 4), item("Straße.odt", 3),
                                item("ecoles.zip", 2), item("Ökonomie", 1), item("bad\xff name", 0)});
    struct Step {
        const char* typed;
        std::vector<std::string> expected;
    };
    const Step steps[] = {
        {"ecole", {"École.pdf", "ecoles.zip"}},
        {"ÉCOLE.", {"École.pdf"}},
        {"ecole", {"École.pdf", "ecoles.zip"}}, // widening restores the wider list
        {"strasse", {"Straße.odt"}},
        {"okon", {"Ökonomie"}},
        {"Report.t", {"report.TXT"}},
        {"nothing like it", {}},
        {"", {"École.pdf", "report.TXT", "Straße.odt", "ecoles.zip", "Ökonomie", "bad\xff name"}},
    };
    for (const Step& step : steps) {
        state.updateSearch(step.typed);
        EXPECT_EQ(shown(state), step.expected) << step.typed;
    }
    EXPECT_EQ(bw::foldedForSearch("ÉCOLE"), bw::foldedForSearch("ecole"));
}

TEST(RecoverySearch, PreviousTextAndDestroySearch) {
    bw::RecoveryListState state;
    state.changeDisplaySetting({item("a1", 2), item("b1", 1)});
    state.updateSearch("a");
    EXPECT_EQ(state.previousSearchString(), std::optional<std::string>("a"));
    state.updateSearch("a1");
    EXPECT_EQ(state.previousSearchString(), std::optional<std::string>("a"));
    EXPECT_EQ(shown(state), std::vector<std::string>{"a1"});
    // A re-read while searching replaces the full list, and the search applies to the new one.
    state.reloadCacheNotification({item("a1", 3), item("a10", 2), item("b1", 1)});
    EXPECT_EQ(shown(state), (std::vector<std::string>{"a1", "a10"}));
    state.destroySearch();
    EXPECT_FALSE(state.searchString());
    EXPECT_EQ(shown(state), (std::vector<std::string>{"a1", "a10", "b1"}));
}

TEST(RecoveryState, LoadChoosesTheWindowAndControlsFollowTheRules) {
    // Nothing in a week: everything, with the time choice on 0.
    bw::RecoveryListState state;
    EXPECT_EQ(state.timeTag(), 24);
    state.loadGUI({item("ancient", kNow - 30 * 86400)}, kNow);
    EXPECT_EQ(state.timeTag(), 0);
    EXPECT_EQ(shown(state), std::vector<std::string>{"ancient"});
    EXPECT_TRUE(state.controls().emptyAllButton);
    EXPECT_FALSE(state.controls().recoverButton);

    // Something two hours old: the 3-hour window, which leaves the ancient item out.
    state.loadGUI({item("recent", kNow - 7200), item("ancient", kNow - 30 * 86400)}, kNow);
    EXPECT_EQ(state.timeTag(), 3);
    EXPECT_EQ(shown(state), std::vector<std::string>{"recent"});

    state.loadGUI({}, kNow);
    EXPECT_EQ(state.numberOfRows(), 0u);
    EXPECT_FALSE(state.controls().emptyAllButton);

    struct Event {
        const char* what;
        std::function<void(bw::RecoveryListState&)> act;
        bool emptyAll, emptySelection, recover, search;
    };
    const std::vector<Event> events = {
        {"list shown",
         [](auto& s) {
             s.changeDisplaySetting({item("Docs", 2, true), item("a.pdf", 1)});
         },
         true, false, false, true},
        {"row selected", [](auto& s) { s.selectionChanged(1); }, true, true, true, true},
        {"file double-clicked", [](auto& s) { EXPECT_FALSE(s.doubleClick(1)); }, true, true, true, true},
        {"folder opened", [](auto& s) { EXPECT_TRUE(s.doubleClick(0)); }, false, false, true, false},
        {"nothing selected in the folder view", [](auto& s) { s.selectionChanged(0); }, true, false, true, false},
        {"back to the list", [](auto& s) { s.becomeMainDelegate(); }, true, false, true, true},
        {"nothing selected in the list", [](auto& s) { s.selectionChanged(0); }, true, false, false, true},
    };
    for (const Event& e : events) {
        e.act(state);
        EXPECT_EQ(state.controls().emptyAllButton, e.emptyAll) << e.what;
        EXPECT_EQ(state.controls().emptySelectionButton, e.emptySelection) << e.what;
        EXPECT_EQ(state.controls().recoverButton, e.recover) << e.what;
        EXPECT_EQ(state.controls().searchField, e.search) << e.what;
    }
}

TEST(RecoveryTexts, SizeTextsUseDecimalUnitsWithTheRoundingAdditions) {
    struct Case {
        std::uint64_t bytes;
        const char* text;
    };
    const Case cases[] = {{0, "0 bytes"},         {1000, "1000 bytes"}, {1001, "1.1 KB"},
                          {1000000, "1000.1 KB"}, {1000001, "1.0 MB"},  {1000000000, "1000.0 MB"},
                          {2300000000, "2.3 GB"}, {1949, "2.0 KB"},     {1948, "2.0 KB"}};
    for (const Case& c : cases)
        EXPECT_EQ(bw::englishSizeText(c.bytes), c.text) << c.bytes;
    EXPECT_FALSE(bw::localDateText(kNow).empty());
}

TEST(SubFolderBrowsing, EntersFoldersWithoutExtensionAndGoesBack) {
    bw::test::TempDir tmp;
    const std::string stored = tmp / "STORED";
    bw::test::makeDirs(stored + "/src/deep");
    bw::test::makeDirs(stored + "/Notes.app");
    bw::test::writeFile(stored + "/.DS_Store", "");
    bw::test::writeFile(stored + "/src/main.c", "int main;");
    bw::RecoveryItem projects = item("Projects", 1, true);
    projects.rawItemPath = stored;

    bw::SubFolderBrowser browser;
    browser.loadItem(projects);
    auto names = [&] {
        std::vector<std::string> out;
        for (const auto& e : browser.currentDisplay())
            out.push_back(e.displayName);
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(browser.curPath(), std::optional<std::string>("Projects"));
    EXPECT_EQ(names(), (std::vector<std::string>{".DS_Store", "Notes.app", "src"}));
    for (const auto& entry : std::vector<bw::FolderEntry>(browser.currentDisplay())) {
        if (entry.displayName == "Notes.app" || entry.displayName == ".DS_Store") {
            EXPECT_FALSE(browser.enterItem(entry)) << entry.displayName;
        }
    }
    const auto level1 = browser.currentDisplay();
    for (const auto& entry : level1) {
        if (entry.displayName == "src") {
            EXPECT_TRUE(browser.enterItem(entry));
        }
    }
    EXPECT_EQ(browser.curPath(), std::optional<std::string>("Projects/src"));
    EXPECT_EQ(names(), (std::vector<std::string>{"deep", "main.c"}));
    EXPECT_TRUE(browser.backAction());
    EXPECT_EQ(browser.curPath(), std::optional<std::string>("Projects"));
    EXPECT_FALSE(browser.backAction());
    EXPECT_FALSE(browser.isOpen());
    EXPECT_TRUE(bw::listCachedFolder(tmp / "missing").empty());
}

} // namespace
