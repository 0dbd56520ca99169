// bw2ctl's restore by original path, selection options, list formats, ids on standard input and shell
// completion, run as a user runs them against a temporary home.

#include "recovery_fixture.h"
#include "plist/reference_time.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;
using bw::test::makeBatch;
using bw::test::readFile;
using bw::test::TempDir;

using Result = bw::test::ShellResult;

// Every file below a folder, relative, with its content.
std::set<std::string> filesBelow(const std::string& folder) {
    std::set<std::string> files;
    if (!fs::exists(folder))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files.insert(fs::relative(entry.path(), folder).string() + "=" + readFile(entry.path()));
    return files;
}

class Bw2ctlRestore : public ::testing::Test {
protected:
    TempDir tmp{"bw2restore"};
    std::string home = tmp / "home";
    std::string work = tmp / "work";
    std::string elsewhere = tmp / "elsewhere";
    double now = bw::timeIntervalSinceReferenceDate();
    std::vector<std::string> ids;

    void SetUp() override {
        fs::create_directories(work);
        ids = makeBatch(home + "/.Binwarden2Cache", "2026-12-07 10_00 +0000", now - 60,
                        {{"a.txt", now - 60, "work-a", false, work + "/a.txt"},
                         {"b.txt", now - 61, "work-b", false, work + "/sub/b.txt"},
                         {"c.txt", now - 62, "else-c", false, elsewhere + "/c.txt"},
                         {"a.txt", now - 63, "else-a", false, elsewhere + "/a.txt"},
                         {"lost.txt", now - 64, "lost"}});
    }

    // bw2ctl run from the working folder, with `input` piped in front when given.
    Result run(const std::string& arguments, const std::string& input = "cat /dev/null") const {
        return bw::test::runShell("cd '" + work + "' && " + input + " | HOME='" + home +
                     "' DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent '" + bw::test::buildDir() + "/bin/bw2ctl' " +
                     arguments + " 2>&1");
    }
    std::string ctl() const { return "HOME='" + home + "' '" + bw::test::buildDir() + "/bin/bw2ctl'"; }
};

TEST_F(Bw2ctlRestore, RestoresByOriginalPathWithoutEverOverwriting) {
    struct Case {
        std::string arguments;
        int status;
        std::string mustShow;
    };
    const std::vector<Case> cases = {
        {"restore '" + elsewhere + "/c.txt'", 0, "-> " + elsewhere + "/c.txt\n"}, // absolute
        {"restore sub/b.txt", 0, "-> " + work + "/sub/b.txt\n"},                   // relative to the working folder
        {"restore ./a.txt", 0, "-> " + work + "/a.txt\n"},
        {"restore a.txt", 0, work + "/a - 1.txt (" + work + "/a.txt exists"}, // taken now: a free name, said
        {"restore ../elsewhere/a.txt --json", 0, "\"renamed\":false"},
        {"restore lost.txt", 1, "not known"},
        {"restore nowhere/x.txt", 1, "nowhere/x.txt"},
        {"restore --all a.txt", 2, "--all"},
        {"restore --to", 2, "usage"},
    };
    for (const Case& c : cases) {
        const Result r = run(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments << "\n" << r.out;
        EXPECT_NE(r.out.find(c.mustShow), std::string::npos) << c.arguments << "\n" << r.out;
    }
    EXPECT_EQ(filesBelow(work), (std::set<std::string>{"a.txt=work-a", "a - 1.txt=work-a", "sub/b.txt=work-b"}));
    EXPECT_EQ(filesBelow(elsewhere), (std::set<std::string>{"c.txt=else-c", "a.txt=else-a"}));
}

TEST_F(Bw2ctlRestore, SelectionToLayoutFlatAndDryRun) {
    const std::string out = tmp / "out";
    struct Case {
        std::string arguments;
        int status;
        std::string folder;                 // checked afterwards
        std::set<std::string> files;        // what it then holds
    };
    const std::vector<Case> cases = {
        // A dry run changes nothing, wherever it points.
        {"restore --all --dry-run", 1, work, {}}, // lost.txt has no known place
        {"restore --all --to out --dry-run", 0, out, {}},
        {"delete --all --dry-run", 0, work, {}},
        {"delete --all --dry-run --json --from .", 0, work, {}},
        // Only the items trashed from the working folder.
        {"restore --all --from .", 0, work, {"a.txt=work-a", "sub/b.txt=work-b"}},
        // The layout below the common parent; an item without a known place goes to the top.
        {"restore --all --to '" + out + "'",
         0,
         out,
         {"work/a.txt=work-a", "work/sub/b.txt=work-b", "elsewhere/c.txt=else-c", "elsewhere/a.txt=else-a",
          "lost.txt=lost"}},
        {"restore --all --search A.TXT --to flat --flat", 0, work + "/flat", {"a.txt=work-a", "a - 1.txt=else-a"}},
        {"restore --all --larger 100 --to none", 1, work + "/none", {}},
        {"restore --all --since 2026-99-01", 2, work, {"a.txt=work-a", "sub/b.txt=work-b", "flat/a.txt=work-a",
                                                        "flat/a - 1.txt=else-a"}},
    };
    for (const Case& c : cases) {
        const Result r = run(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments << "\n" << r.out;
        EXPECT_EQ(filesBelow(c.folder), c.files) << c.arguments << "\n" << r.out;
    }
    EXPECT_FALSE(fs::exists(elsewhere)); // no case restored to the original places outside the working folder
    const Result dry = run("restore --all --dry-run --from .");
    EXPECT_NE(dry.out.find("would be restored a.txt -> " + work + "/a - 1.txt (" + work + "/a.txt exists"),
              std::string::npos)
        << dry.out;
    EXPECT_EQ(run("list --hours 0 --format '{id}'").out.size(), 5 * 37u); // nothing deleted by the dry runs
    const Result dryDelete = run("delete --all --dry-run --json --from .");
    EXPECT_NE(dryDelete.out.find("[{\"id\":\"" + ids[0] + "\""), std::string::npos) << dryDelete.out;
}

TEST_F(Bw2ctlRestore, ListFormatsAndIdsOnStandardInput) {
    struct ListCase {
        std::string arguments;
        int status;
        std::string expected;
    };
    const std::vector<ListCase> lists = {
        {"list --from . --format '{name}|{original}|{size}|{human_size}'", 0,
         "a.txt|" + work + "/a.txt|6|6 bytes\nb.txt|" + work + "/sub/b.txt|6|6 bytes\n"},
        {"list --from . --format '{name}' --null", 0, std::string("a.txt\0b.txt\0", 12)},
        {"list --smaller 5 --format '{name}\\t{original}'", 0, "lost.txt\t-\n"},
        {"list --format '{nope}'", 2, "unknown field {nope}"},
        {"list --null", 2, "--null"},
        {"list --larger 10k", 1, "nothing to list"},
    };
    for (const ListCase& c : lists) {
        const Result r = run(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments << "\n" << r.out;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.arguments << "\n" << r.out;
    }

    struct PipeCase {
        std::string input;
        std::string arguments;
        int status;
        std::string folder;
        std::set<std::string> files;
    };
    const std::vector<PipeCase> pipes = {
        {ctl() + " list --from . --format '{id}' --null", "restore - --to nul --flat", 0, work + "/nul",
         {"a.txt=work-a", "b.txt=work-b"}},
        {"printf '%s\\r\\n\\n%s\\n' " + ids[2] + " " + ids[3].substr(0, 8), "recover - --to lines", 0,
         work + "/lines", {"c.txt=else-c", "a.txt=else-a"}},
        {"printf 'no-such-id\\n'", "restore - --to bad", 1, work + "/bad", {}},
        {"printf ''", "restore - --to empty", 2, work + "/empty", {}},
        {"printf '%s\\n' " + ids[4], "delete -", 2, work + "/empty", {}}, // the input is taken: --yes is needed
    };
    for (const PipeCase& c : pipes) {
        fs::create_directories(c.folder);
        const Result r = run(c.arguments, c.input);
        EXPECT_EQ(r.status, c.status) << c.arguments << "\n" << r.out;
        EXPECT_EQ(filesBelow(c.folder), c.files) << c.arguments << "\n" << r.out;
    }
    const Result deleted = run("delete - --yes", "printf '%s\\0' " + ids[4]);
    EXPECT_EQ(deleted.status, 0) << deleted.out;
    EXPECT_EQ(run("list --hours 0 --search lost").status, 1);
}

TEST_F(Bw2ctlRestore, CompletionLoadsInBashAndOffersCommandsOptionsAndItems) {
    const std::string script = bw::test::sourceDir() + "/cli/completion/bw2ctl.bash";
    const std::string prefix = "cd '" + work + "' && HOME='" + home + "' PATH='" + bw::test::buildDir() +
                               "/bin':\"$PATH\" bash --norc -c 'source \"" + script + "\"; ";
    struct Case {
        std::string words; // the command line being completed, last word included
        std::vector<std::string> offered;
    };
    const std::vector<Case> cases = {
        {"bw2ctl \"\"", {"list", "recover", "restore", "delete", "settings"}},
        {"bw2ctl res", {"restore"}},
        {"bw2ctl restore --f", {"--from", "--flat"}},
        {"bw2ctl delete \"\"", {ids[0], "a.txt", "lost.txt"}},
    };
    const Result loaded = bw::test::runShell(prefix + "complete -p bw2ctl'");
    EXPECT_EQ(loaded.status, 0) << loaded.out;
    EXPECT_NE(loaded.out.find("complete -F _bw2ctl bw2ctl"), std::string::npos) << loaded.out;
    for (const Case& c : cases) {
        const Result r = bw::test::runShell(prefix + "COMP_WORDS=(" + c.words + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " +
                               "_bw2ctl; printf \"%s\\n\" \"${COMPREPLY[@]}\"'");
        for (const std::string& word : c.offered)
            EXPECT_NE(r.out.find(word + "\n"), std::string::npos) << c.words << " lacks " << word << "\n" << r.out;
    }
    for (const char* file : {"/cli/completion/_bw2ctl", "/cli/completion/bw2ctl.fish"})
        EXPECT_TRUE(fs::is_regular_file(bw::test::sourceDir() + file)) << file;
}

} // namespace
