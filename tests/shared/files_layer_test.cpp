// The plain file-system layer: tree removal, folder sizes, the UTF-8 reader, atomic replace.
#include "files/atomic_file.h"
#include "files/folder_size.h"
#include "files/make_folders.h"
#include "files/no_follow.h"
#include "files/remove_tree.h"
#include "files/utf8.h"

#include "temp_dir.h"
#include "throwaway_user.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace fs = std::filesystem;
using bw::test::TempDir;
using bw::test::writeFile;

namespace {

// A chain of `depth` folders named "d" below `top`, with a file at the bottom; built relative to
// descriptors because its paths are far longer than any path may be.
void makeChain(const std::string& top, int depth) {
    bw::UniqueFd level(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(level);
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(0, ::mkdirat(level.get(), "d", 0755)) << "at depth " << i;
        level = bw::UniqueFd(::openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(level);
    }
    bw::UniqueFd leaf(::openat(level.get(), "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(5, ::write(leaf.get(), "12345", 5));
}

std::size_t openDescriptors() {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

// Runs `work` in a child process, as `uid` when root can change to it, and answers its exit status.
template <typename Work>
int inChild(uid_t uid, gid_t gid, Work work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(99);
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(FilesTreeRemoval, RemovesEveryKindOfTreeAndNothingOutsideIt) {
    TempDir tmp("bw2files");
    fs::create_directories(tmp / "outside/kept");
    writeFile(tmp / "outside/kept/precious", "p");
    struct Case {
        const char* what;
        std::function<void(const std::string&)> build;
    };
    const std::vector<Case> cases = {
        {"a plain file", [](const std::string& at) { writeFile(at, "x"); }},
        {"a link to a folder outside",
         [&](const std::string& at) { fs::create_directory_symlink(tmp / "outside", at); }},
        {"a tree holding links to outside",
         [&](const std::string& at) {
             fs::create_directories(at + "/a/b");
             writeFile(at + "/a/b/f", "x");
             fs::create_directory_symlink(tmp / "outside", at + "/a/to-outside");
             fs::create_symlink(tmp / "outside/kept/precious", at + "/a/b/to-file");
         }},
        {"an empty folder", [](const std::string& at) { fs::create_directories(at); }},
    };
    bw::UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const auto& c : cases) {
        c.build(tmp / "victim");
        bool removedSome = false;
        EXPECT_TRUE(bw::removeTreeAt(dir.get(), "victim", &removedSome)) << c.what;
        EXPECT_TRUE(removedSome) << c.what;
        EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "victim"))) << c.what;
        EXPECT_EQ("p", bw::test::readFile(tmp / "outside/kept/precious")) << c.what;
    }
    bool removedSome = true;
    EXPECT_TRUE(bw::removeTreeAt(dir.get(), "never-there", &removedSome)) << "a missing entry counts as removed";
    EXPECT_FALSE(removedSome);
}

TEST(FilesTreeRemoval, ByPathTheLastComponentIsNeverFollowed) {
    TempDir tmp;
    fs::create_directories(tmp / "outside");
    fs::create_directories(tmp / "tree/sub");
    writeFile(tmp / "outside/precious", "p");
    writeFile(tmp / "tree/sub/f", "x");
    fs::create_directory_symlink(tmp / "outside", tmp / "link");
    struct Case {
        std::string path;
        bool removed;
    };
    for (const Case& c : {Case{tmp / "tree/", true}, Case{tmp / "link", true}, Case{tmp / "never-there", true},
                          Case{tmp / "missing-folder/never-there", true}, Case{tmp / "tree/..", false}}) {
        EXPECT_EQ(c.removed, bw::removeTree(c.path)) << c.path;
        if (c.removed) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(bw::withoutTrailingSlashes(c.path)))) << c.path;
        }
    }
    EXPECT_EQ("p", bw::test::readFile(tmp / "outside/precious")) << "what the link pointed to stays";
}

TEST(FilesTreeRemoval, RemovesATenThousandLevelTreeWithinAFewDescriptors) {
    TempDir tmp("bw2files");
    fs::create_directories(tmp / "deep");
    makeChain(tmp / "deep", 10000);
    bw::UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::size_t before = openDescriptors();
    EXPECT_TRUE(bw::removeTreeAt(dir.get(), "deep"));
    EXPECT_FALSE(fs::exists(tmp / "deep"));
    EXPECT_EQ(before, openDescriptors()) << "every descriptor of the walk is closed again";
}

TEST(FilesTreeRemoval, RemovesReadOnlyFoldersOfItsOwnUser) {
    TempDir tmp("bw2files");
    ::chmod(tmp.path().c_str(), 0755);
    const std::string top = tmp / "tree";
    fs::create_directories(top + "/ro/inner");
    writeFile(top + "/ro/inner/f", "x");
    writeFile(top + "/ro/g", "y");
    fs::create_directories(top + "/unlistable/sub");
    makeChain(top + "/ro/inner", 40); // deeper than the levels the walk keeps open
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    std::unique_ptr<bw::test::ThrowawayUser> user;
    if (bw::test::isRoot()) {
        // Root ignores the modes: the removal runs as an ordinary owner of the tree instead.
        user = std::make_unique<bw::test::ThrowawayUser>(tmp / "home");
        ASSERT_TRUE(user->valid());
        uid = user->uid();
        gid = user->gid();
        ASSERT_TRUE(bw::test::chownTree(top, uid, gid));
        ASSERT_TRUE(bw::test::chownTree(tmp.path(), uid, gid));
    }
    ::chmod((top + "/ro/inner").c_str(), 0555);
    ::chmod((top + "/ro").c_str(), 0500);
    ::chmod((top + "/unlistable").c_str(), 0000);
    const int status = inChild(uid, gid, [&] {
        bw::UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return bw::removeTreeAt(dir.get(), "tree");
    });
    EXPECT_EQ(0, status);
    EXPECT_FALSE(fs::exists(top));
}

TEST(FilesTreeRemoval, AFolderOfAnotherUserStaysAndTheFailureIsReported) {
    if (!bw::test::isRoot())
        GTEST_SKIP() << "needs root to make a folder its remover does not own";
    TempDir tmp("bw2files");
    ::chmod(tmp.path().c_str(), 0755);
    bw::test::ThrowawayUser user(tmp / "home");
    ASSERT_TRUE(user.valid());
    fs::create_directories(tmp / "tree/roots");
    writeFile(tmp / "tree/roots/f", "x");
    writeFile(tmp / "tree/mine", "m");
    ASSERT_TRUE(bw::test::chownTree(tmp / "tree", user.uid(), user.gid()));
    ASSERT_EQ(0, ::chown((tmp / "tree/roots").c_str(), 0, 0));
    ASSERT_EQ(0, ::chmod((tmp / "tree/roots").c_str(), 0555));
    const int status = inChild(user.uid(), user.gid(), [&] {
        bw::UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        bool removedSome = false;
        return !bw::removeTreeAt(dir.get(), "tree", &removedSome) && removedSome;
    });
    EXPECT_EQ(0, status) << "false, with what could go gone";
    EXPECT_TRUE(fs::exists(tmp / "tree/roots/f"));
    EXPECT_FALSE(fs::exists(tmp / "tree/mine"));
    EXPECT_EQ(fs::perms(0555), fs::status(tmp / "tree/roots").permissions() & fs::perms::mask)
        << "root's folder keeps its mode";
}

TEST(FilesFolderSize, CountsHardLinksOnceAndSparseFilesAsAsked) {
    TempDir tmp("bw2files");
    fs::create_directories(tmp / "f/sub");
    writeFile(tmp / "f/a", std::string(1000, 'a'));
    ASSERT_EQ(0, ::link((tmp / "f/a").c_str(), (tmp / "f/sub/a-again").c_str()));
    ASSERT_EQ(0, ::link((tmp / "f/a").c_str(), (tmp / "f/a-third").c_str()));
    writeFile(tmp / "f/sub/b", std::string(24, 'b'));
    {
        // 64 MiB long, one 4 KiB block written at its end.
        bw::UniqueFd sparse(::open((tmp / "f/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(sparse);
        ASSERT_EQ(4096, ::pwrite(sparse.get(), std::string(4096, 's').data(), 4096, (64 << 20) - 4096));
    }
    struct stat sparseFacts {};
    ASSERT_EQ(0, ::stat((tmp / "f/sparse").c_str(), &sparseFacts));
    const std::uint64_t sparseAllocated = static_cast<std::uint64_t>(sparseFacts.st_blocks) * 512u;
    if (sparseAllocated >= (64u << 20))
        GTEST_SKIP() << "this file system does not keep holes";

    struct Case {
        bw::SizeMeasure measure;
        std::uint64_t low, high; // allowed range of the bytes
    };
    const std::uint64_t plain = 1000 + 24;
    const std::vector<Case> cases = {
        {bw::SizeMeasure::Apparent, plain + (64u << 20), plain + (64u << 20)},
        // Allocation rounds each small file up to its blocks; the sparse one holds only what was written.
        {bw::SizeMeasure::Allocated, sparseAllocated + plain, sparseAllocated + 2 * 64 * 1024},
    };
    for (const auto& c : cases) {
        bw::FolderSizer sizer(c.measure);
        bw::UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const bw::TreeSize size = sizer.measureAt(dir.get(), "f");
        EXPECT_GE(size.bytes, c.low);
        EXPECT_LE(size.bytes, c.high);
        EXPECT_EQ(3u, size.items) << "a file with three names is one item";
        const bw::TreeSize file = sizer.measureAt(dir.get(), "f/sub/b");
        EXPECT_EQ(1u, file.items);
    }
    // A final link is not followed: a link to the folder measures as a link.
    fs::create_directory_symlink(tmp / "f", tmp / "link");
    bw::FolderSizer sizer;
    EXPECT_EQ(0u, sizer.getFolderSize(tmp / "link"));
    bw::UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(1u, sizer.measureAt(dir.get(), "link").items);
    EXPECT_EQ(0u, sizer.measureAt(dir.get(), "missing").items);
}

TEST(FilesFolderSize, MeasuresATreeDeeperThanTheOpenLevels) {
    TempDir tmp("bw2files");
    fs::create_directories(tmp / "deep");
    makeChain(tmp / "deep", 3000);
    writeFile(tmp / "deep/top", "123");
    bw::FolderSizer sizer;
    const std::size_t before = openDescriptors();
    EXPECT_EQ(8u, sizer.getFolderSize(tmp / "deep"));
    EXPECT_EQ(before, openDescriptors());
    bw::UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_TRUE(bw::removeTreeAt(dir.get(), "deep"));
}

TEST(FilesUtf8, AcceptsWellFormedTextAndRefusesTheRest) {
    struct Case {
        const char* what;
        std::string bytes;
        bool valid;
        char32_t first; // the code point of the first sequence when valid
    };
    const std::vector<Case> cases = {
        {"ASCII", "abc", true, U'a'},
        {"empty", "", true, 0},
        {"two bytes", "\xC3\xA9", true, U'\u00E9'},
        {"three bytes", "\xE2\x82\xAC", true, U'\u20AC'},
        {"four bytes", "\xF0\x9F\x98\x80", true, U'\U0001F600'},
        {"the last code point", "\xF4\x8F\xBF\xBF", true, U'\U0010FFFF'},
        {"overlong slash in two bytes", "\xC0\xAF", false, 0},
        {"overlong NUL in two bytes", "\xC0\x80", false, 0},
        {"overlong in three bytes", "\xE0\x80\xAF", false, 0},
        {"overlong in four bytes", "\xF0\x80\x80\xAF", false, 0},
        {"high surrogate", "\xED\xA0\x80", false, 0},
        {"low surrogate", "\xED\xBF\xBF", false, 0},
        {"past U+10FFFF", "\xF4\x90\x80\x80", false, 0},
        {"lead byte past F4", "\xF5\x80\x80\x80", false, 0},
        {"truncated two bytes", "\xC3", false, 0},
        {"truncated four bytes", "\xF0\x9F\x98", false, 0},
        {"lone continuation", "\x80", false, 0},
        {"continuation missing mid-text", "a\xE2\x82x", false, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.valid, bw::isValidUtf8(c.bytes)) << c.what;
        char32_t cp = 0;
        const std::size_t length = bw::utf8SequenceAt(c.bytes, 0, cp);
        if (c.valid && !c.bytes.empty()) {
            EXPECT_EQ(c.first, cp) << c.what;
            std::string again;
            bw::appendUtf8(again, cp);
            EXPECT_EQ(c.bytes.substr(0, length), again) << c.what << ": written back the same";
        }
    }
}

TEST(FilesAtomicReplace, ReplacesWholeKeepsExistingWhenAskedAndLeavesNoTemporary) {
    TempDir tmp("bw2files");
    bw::UniqueFd dir = bw::openFolderNoFollow(tmp.path());
    const std::string first = "first", second = "second";
    const auto span = [](const std::string& s) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    bw::ReplaceOptions options;
    options.mode = 0600;
    EXPECT_EQ(bw::ReplaceResult::Written, bw::replaceFileAt(dir.get(), "f", span(first), options, "test"));
    options.keepExisting = true;
    EXPECT_EQ(bw::ReplaceResult::AlreadyExists, bw::replaceFileAt(dir.get(), "f", span(second), options, "test"));
    EXPECT_EQ(first, bw::test::readFile(tmp / "f"));
    options.keepExisting = false;
    EXPECT_EQ(bw::ReplaceResult::Written, bw::replaceFileAt(dir.get(), "f", span(second), options, "test"));
    const bw::WholeFile read = bw::readFileAt(dir.get(), "f", 1024);
    EXPECT_EQ(0, read.error);
    EXPECT_EQ(second, std::string(read.bytes.begin(), read.bytes.end()));
    EXPECT_EQ(0600u, read.facts.st_mode & 07777);
    EXPECT_EQ(-EFBIG, bw::readFileAt(dir.get(), "f", 3).error);
    EXPECT_EQ(-ENOENT, bw::readFileAt(dir.get(), "missing", 3).error);
    fs::create_symlink(tmp / "f", tmp / "link");
    EXPECT_EQ(-ELOOP, bw::readFileAt(dir.get(), "link", 1024).error);
    EXPECT_EQ(0, bw::readFileAt(dir.get(), "link", 1024, true).error);
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(tmp.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(2u, entries) << "only the file and the link";
}

TEST(FilesMakeFolders, MakesEveryMissingFolderOrSaysWhatStandsInTheWay) {
    TempDir tmp;
    writeFile(tmp / "file", "x");
    fs::create_directory(tmp / "there");
    const std::string root = tmp.path();
    const struct {
        const char* what;
        std::string path;
        int expected;
    } cases[] = {
        {"an existing folder", root + "/there", 0},
        {"three levels at once", root + "/a/b/c", 0},
        {"double and trailing slashes", root + "//d//e/", 0},
        {"a relative path", "f/g", 0},
        {"a file where the folder goes", root + "/file", -ENOTDIR},
        {"a file on the way", root + "/file/h", -ENOTDIR},
        {"nothing named", "", -ENOENT},
    };
    // The relative case lands in the temporary folder too.
    const fs::path before = fs::current_path();
    fs::current_path(tmp.path());
    for (const auto& c : cases) {
        EXPECT_EQ(bw::makeFolderPath(c.path, 0700), c.expected) << c.what;
        if (c.expected == 0) {
            EXPECT_TRUE(fs::is_directory(c.path)) << c.what;
        }
    }
    fs::current_path(before);
    EXPECT_EQ(fs::status(tmp / "a/b").permissions() & fs::perms::all, fs::perms::owner_all);
}
