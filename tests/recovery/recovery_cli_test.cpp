// bw2ctl list, recover, restore and delete, run as a user runs them, against a temporary home.

#include "store/cache_paths.h"
#include "recovery_fixture.h"
#include "plist/reference_time.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <regex>

namespace {

namespace fs = std::filesystem;
using bw::test::FakeItem;
using bw::test::makeBatch;
using bw::test::readFile;
using bw::test::TempDir;

using Result = bw::test::ShellResult;

class Bw2ctlRecovery : public ::testing::Test {
protected:
    TempDir tmp{"bw2cli"};
    std::string home = tmp / "home";
    std::string cache = home + "/.Binwarden2Cache";
    double now = bw::timeIntervalSinceReferenceDate();

    void SetUp() override {
        makeBatch(cache, "2026-12-06 09_05 +0100", now - 60,
                  {{"École.pdf", now - 60, "pdf"},
                   {"report.txt", now - 61, "one"},
                   {"report.txt", now - 62, "two"},
                   {"notes.txt", now - 63, "notes", false, home + "/Documents/gone/notes.txt"},
                   {"Photos", now - 64, "jpeg", true}});
    }

    Result run(const std::string& arguments) const {
        const std::string line = "HOME='" + home + "' DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent '" +
                                 bw::test::buildDir() + "/bin/bw2ctl' " + arguments + " </dev/null 2>&1";
        return bw::test::runShell(line);
    }

    std::string idOf(const std::string& name, const std::string& content) const {
        for (const auto& batch : fs::directory_iterator(cache))
            for (const auto& item : fs::directory_iterator(batch.path()))
                if (item.path().filename() != bw::kCacheIndexFileName && fs::is_regular_file(item.path()) &&
                    readFile(item.path()) == content)
                    return item.path().filename();
        ADD_FAILURE() << name;
        return {};
    }
};

TEST_F(Bw2ctlRecovery, ListsNewestFirstWithSearchWindowAndJson) {
    struct Case {
        std::string arguments;
        int status;
        std::vector<std::string> present, absent;
    };
    const std::vector<Case> cases = {
        {"list", 0, {"École.pdf", "report.txt", "notes.txt", "Photos", home + "/Documents/gone/notes.txt"}, {}},
        {"list --search ecole", 0, {"École.pdf"}, {"report.txt"}},
        {"list --search ECOLE --json", 0, {"\"name\":\"École.pdf\"", "\"originalPath\":null"}, {"report"}},
        {"list --hours 0 --all-disks", 0, {"notes.txt"}, {}},
        {"list --search nothing-like-it", 1, {}, {"report"}},
        {"list --hours x", 2, {}, {}},
        {"list --bogus", 2, {}, {}},
        {"list --help", 0, {"usage: bw2ctl list"}, {}},
    };
    for (const Case& c : cases) {
        const Result r = run(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments << "\n" << r.out;
        for (const std::string& text : c.present)
            EXPECT_NE(r.out.find(text), std::string::npos) << c.arguments << " lacks " << text << "\n" << r.out;
        for (const std::string& text : c.absent)
            EXPECT_EQ(r.out.find(text), std::string::npos) << c.arguments << " shows " << text << "\n" << r.out;
    }
    const Result listed = run("list");
    EXPECT_LT(listed.out.find("École.pdf"), listed.out.find("Photos")); // newest first
}

TEST_F(Bw2ctlRecovery, RecoverRestoreAndDeleteByNameOrId) {
    const std::string out = tmp / "out";
    fs::create_directories(out);
    const std::string idOne = idOf("report.txt", "one");

    struct Case {
        std::string arguments;
        int status;
        std::string mustShow;
    };
    const std::vector<Case> cases = {
        {"recover École.pdf Photos --to '" + out + "'", 0, "recovered"},
        {"recover École.pdf --to '" + out + "'", 0, out + "/École - 1.pdf"},
        {"recover report.txt --to '" + out + "'", 1, idOne}, // ambiguous: the ids are listed
        {"recover " + idOne.substr(0, 8) + " --to '" + out + "'", 0, out + "/report.txt"},
        {"recover missing.txt --to '" + out + "'", 1, "missing.txt"},
        {"recover École.pdf", 2, "usage"},
        {"recover École.pdf --to '" + tmp / "no-such" + "'", 1, ""},
        {"restore notes.txt", 0, home + "/Documents/gone/notes.txt"},
        {"restore École.pdf", 1, "not known"},
        {"delete notes.txt", 2, "--yes"}, // not a terminal: refused
        {"delete notes.txt --yes --json", 0, "\"ok\":true"},
        {"delete notes.txt --yes", 1, "notes.txt"}, // gone already
    };
    for (const Case& c : cases) {
        const Result r = run(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments << "\n" << r.out;
        EXPECT_NE(r.out.find(c.mustShow), std::string::npos) << c.arguments << "\n" << r.out;
    }
    EXPECT_EQ(readFile(out + "/École.pdf"), "pdf");
    EXPECT_EQ(readFile(out + "/École - 1.pdf"), "pdf");
    EXPECT_EQ(readFile(out + "/Photos/inside.txt"), "jpeg");
    EXPECT_EQ(readFile(out + "/report.txt"), "one");
    EXPECT_EQ(readFile(home + "/Documents/gone/notes.txt"), "notes");
    const Result after = run("list --hours 0");
    EXPECT_EQ(after.out.find("notes.txt"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("École.pdf"), std::string::npos) << after.out; // recovering keeps the item
}

} // namespace
