// The update check without a network: version comparison, the query encoding, the reply, the addresses
// the updater accepts, the download's file name and its remaining-time estimate.

#include "store/compression.h"
#include "update_check.h"
#include "updater_strings.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace bw;

TEST(UpdateCheck, NewerVersionAvailable) {
    struct Case {
        const char* remote;
        const char* local;
        bool newer;
    } cases[] = {
        {"2.0.2", "2.0.1", true},
        {"2.0.1", "2.0.1", false},
        {"2.0.0", "2.0.1", false},
        {"2.1", "2.0.1", true}, // field by field: 2.1 is not "21"
        {"2.0.1", "2.1", false},
        {"2.1", "2.1.0", false},
        {"10.0", "9.9.9", true},
        {"2.0.1", "2.0.1b100604", true},  // the release of the version being tested
        {"2.0.0", "2.0.1b100604", false}, // an older release than the beta
        {"2.0.2b100604", "2.0.1", true},  // a beta of a newer version
        {"2.0.1b100604", "2.0.1", false}, // a beta of the installed release
        {"2.0.1b100612", "2.0.1b100604", true},
        {"2.0.1b100601", "2.0.1b100604", false},
        {"2.0.1b100604", "2.0.1b100604", false},
        {"2.0.1b100604a", "2.0.1b100604", true}, // a letter on one side only
        {"2.0.1b100604", "2.0.1b100604a", true},
        {"2.0.1b100604b", "2.0.1b100604a", true},
        {"2.0.1b100604a", "2.0.1b100604b", false},
        {"2.0.1b100604a", "2.0.1b100604a", false},
        {"2.0.1b100604B", "2.0.1b100604a", true}, // letters compare without case
        {"2.0.2b100601", "2.0.1b100604", true},   // a newer version's beta, whatever its date
        {"2.0.0b100701", "2.0.1b100604", false},  // an older version's beta, whatever its date
        {"", "2.0.1", false},
        {"garbage", "2.0.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(newerVersionAvailable(c.remote, c.local), c.newer) << c.remote << " vs " << c.local;
}

TEST(UpdateCheck, QueryEncoding) {
    EXPECT_EQ(asciiToHexa(std::nullopt), "ERROR");
    EXPECT_EQ(asciiToHexa(std::string()), "");
    EXPECT_EQ(asciiToHexa(std::string("&&clear")), "2626636c656172");
    EXPECT_EQ(asciiToHexa(std::string("\x00\xff\x0a", 3)), "00ff0a");
    std::string parameters = updateRequestParameters(60100, "2.0.0", "BW2", false);
    EXPECT_EQ(parameters, "60100|2.0.0|BW2|NOLOG");
    EXPECT_EQ(updateRequestParameters(60100, "2.0.0", "BW2", true), "60100|2.0.0|BW2|LOG");
    EXPECT_EQ(asciiToHexa(parameters), "36303130307c322e302e307c4257327c4e4f4c4f47");
}

TEST(UpdateCheck, ReplyFields) {
    struct Case {
        std::string text;
        bool parsed;
        UpdateInfos infos;
    } cases[] = {
        {"2.1;50000;https://p.example/;https://d.example/a.tar.gz",
         true,
         {"2.1", "50000", "https://p.example/", "https://d.example/a.tar.gz"}},
        {" 2.1 ; 50000 ;https://p.example/;https://d.example/a.tar.gz\r\n;extra",
         true,
         {"2.1", "50000", "https://p.example/", "https://d.example/a.tar.gz"}},
        {"2.1;50000;https://p.example/", false, {}},
        {"", false, {}},
        {" \n", false, {}},
    };
    for (const auto& c : cases) {
        std::optional<UpdateInfos> infos = parseUpdateReply(c.text);
        ASSERT_EQ(infos.has_value(), c.parsed) << c.text;
        if (!infos)
            continue;
        EXPECT_EQ(infos->currentVersion, c.infos.currentVersion);
        EXPECT_EQ(infos->osMini, c.infos.osMini);
        EXPECT_EQ(infos->productURL, c.infos.productURL);
        EXPECT_EQ(infos->fileURL, c.infos.fileURL);
    }
    std::string text = "2.1;1;a;b";
    auto compressed =
        compressedData(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    ASSERT_TRUE(compressed);
    EXPECT_EQ(inflatedReplyText(*compressed), text);
    EXPECT_FALSE(inflatedReplyText(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
    EXPECT_FALSE(inflatedReplyText({}));
    // The two replacement texts are empty, so the script's addresses are used; no key shows bare.
    EXPECT_EQ(updaterString("Updater_1.0_International product URL"), "");
    EXPECT_EQ(updaterString("Updater_1.0_International dmg URL"), "");
    for (const auto& key : updaterStringKeys())
        EXPECT_NE(updaterString(key), key);
}

TEST(UpdateCheck, AllowedAddressesAndNames) {
    struct Case {
        const char* url;
        bool fetch;
        bool browser;
        const char* name;
    } cases[] = {
        {"https://www.example.org/bw2/update.php", true, true, "update.php"},
        {"HTTPS://Example.org/dl/Binwarden2-2.1.tar.gz?x=1#top", true, true, "Binwarden2-2.1.tar.gz"},
        {"http://127.0.0.1:8080/a.tar.gz", true, true, "a.tar.gz"},
        {"http://localhost:8080/a.tar.gz", false, true, "a.tar.gz"},
        {"http://www.example.org/a.tar.gz", false, true, "a.tar.gz"},
        {"http://127.0.0.1@evil.example/a.tar.gz", false, false, "binwarden2-update.tar.gz"},
        {"http://127.0.0.1.evil.example/a.tar.gz", false, true, "a.tar.gz"},
        {"file:///etc/passwd", false, false, "binwarden2-update.tar.gz"},
        {"ftp://example.org/a.tar.gz", false, false, "a.tar.gz"},
        {"https://example.org/", true, true, "binwarden2-update.tar.gz"},
        {"https://example.org/..", true, true, "binwarden2-update.tar.gz"},
        {"https://example.org/.bashrc", true, true, "binwarden2-update.tar.gz"},
        {"https://example.org/a%2F..%2Fb", true, true, "binwarden2-update.tar.gz"},
        {"https://exa mple.org/a", false, false, "binwarden2-update.tar.gz"},
        {"no address", false, false, "binwarden2-update.tar.gz"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isAllowedFetchURL(c.url), c.fetch) << c.url;
        EXPECT_EQ(isAllowedBrowserURL(c.url), c.browser) << c.url;
        EXPECT_EQ(downloadFileName(c.url), c.name) << c.url;
    }
}

TEST(UpdateCheck, RemainingDownloadTime) {
    struct Case {
        double elapsed, received, total, previous, expected;
    } cases[] = {
        {10, 50, 100, 99999, 11}, // half done in 10 s: 10 more, plus one
        {10, 25, 100, 99999, 31}, // a quarter in 10 s: 30 more
        {10, 25, 100, 20, 20},    // never more than shown before
        {4, 0, 100, 99999, 3997}, // nothing yet counts as 0.1 %
        {10, 100, 100, 99999, 1}, // done
        {10, 10, 0, 42, 42},      // unknown size: unchanged
    };
    for (const auto& c : cases)
        EXPECT_NEAR(remainingDownloadSeconds(c.elapsed, c.received, c.total, c.previous), c.expected, 1.0)
            << c.elapsed << " " << c.received << "/" << c.total;
}
