// The strings table every program's texts come from: a text by its key, the key itself when the
// table has none, and an empty text kept as empty.

#include "text/strings_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(StringsTable, ATextByItsKeyAndAMissingKeyShowsItself) {
    const bw::StringsTable table = {
        {"200_Cancel", "Cancel"},
        {"Updater_1.0_International product URL", ""},
        {"100_Title", "Binwarden 2 — caf\xc3\xa9"},
    };
    const struct {
        const char* key;
        std::string expected;
    } cases[] = {
        {"200_Cancel", "Cancel"},
        {"Updater_1.0_International product URL", ""}, // empty on purpose, never the key
        {"100_Title", "Binwarden 2 — caf\xc3\xa9"},
        {"200_cancel", "200_cancel"}, // keys are exact
        {"", ""},
        {"200_Missing", "200_Missing"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(table.text(c.key), c.expected) << c.key;
    EXPECT_EQ(table.keys(),
              (std::vector<std::string>{"100_Title", "200_Cancel", "Updater_1.0_International product URL"}));
    EXPECT_TRUE(bw::StringsTable({}).keys().empty());
}

} // namespace
