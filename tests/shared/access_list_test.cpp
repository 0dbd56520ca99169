// Access lists: finding them, clearing them without following links, and the tool that is not shipped.

#include "files/access_list.h"
#include "files/unique_fd.h"
#include "file_flags_support.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using bw::UniqueFd;
using bw::test::hasExtendedAccessAcl;
using bw::test::readFile;
using bw::test::setExtendedAcl;
using bw::test::setImmutable;
using bw::test::TempDir;
using bw::test::writeFile;

namespace {

class AccessListTest : public ::testing::Test {
protected:
    TempDir tmp{"bw2acl"};
    std::string src = tmp / "src";
    void SetUp() override { fs::create_directories(src); }
};

} // namespace

TEST_F(AccessListTest, ClearACLRemovesListsButNeverThroughLinks) {
    const std::string plain = src + "/plain";
    writeFile(plain, "keep");
    ASSERT_EQ(0, chmod(plain.c_str(), 0604));
    EXPECT_TRUE(bw::clearACL(plain, false));
    struct stat st;
    ASSERT_EQ(0, stat(plain.c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 07777) << "a file without a list is left as it was";
    EXPECT_EQ("keep", readFile(plain));

    const std::string listed = src + "/listed";
    writeFile(listed, "x");
    if (!setExtendedAcl(listed))
        GTEST_SKIP() << "no access lists on this file system";
    EXPECT_TRUE(bw::fileHasACL(listed));
    EXPECT_TRUE(bw::clearACL(listed, false));
    EXPECT_FALSE(bw::fileHasACL(listed));

    // A folder with a default list, a listed file inside, and a link to a listed file outside.
    const std::string folder = src + "/folder";
    fs::create_directories(folder);
    ASSERT_TRUE(setExtendedAcl(folder, ACL_TYPE_DEFAULT));
    writeFile(folder + "/inner", "y");
    ASSERT_TRUE(setExtendedAcl(folder + "/inner"));
    const std::string outside = tmp / "outside";
    writeFile(outside, "z");
    ASSERT_TRUE(setExtendedAcl(outside));
    fs::create_symlink(outside, folder + "/link");

    EXPECT_TRUE(bw::fileHasACL(folder));
    EXPECT_TRUE(bw::clearACL(folder, false));
    EXPECT_FALSE(bw::fileHasACL(folder));
    EXPECT_TRUE(bw::fileHasACL(folder + "/inner")) << "without recursion the contents stay";
    EXPECT_TRUE(bw::clearACL(folder, true));
    EXPECT_FALSE(bw::fileHasACL(folder + "/inner"));
    EXPECT_TRUE(hasExtendedAccessAcl(outside)) << "the link's target is not touched";
    EXPECT_TRUE(bw::clearACL(folder + "/link", true));
    EXPECT_TRUE(hasExtendedAccessAcl(outside));
}

TEST_F(AccessListTest, RecursiveClearReportsAFailingEntryAndClearsTheOthers) {
    const std::string folder = src + "/folder";
    fs::create_directories(folder);
    writeFile(folder + "/a", "a");
    writeFile(folder + "/locked", "l");
    writeFile(folder + "/z", "z");
    if (!setExtendedAcl(folder + "/a") || !setExtendedAcl(folder + "/locked") || !setExtendedAcl(folder + "/z"))
        GTEST_SKIP() << "no access lists on this file system";
    if (geteuid() != 0 || !setImmutable(folder + "/locked", true))
        GTEST_SKIP() << "needs root and immutable flags to make one entry fail";
    const bool result = bw::clearACL(folder, true);
    setImmutable(folder + "/locked", false);
    EXPECT_FALSE(result);
    EXPECT_FALSE(bw::fileHasACL(folder + "/a"));
    EXPECT_FALSE(bw::fileHasACL(folder + "/z"));
    EXPECT_TRUE(bw::fileHasACL(folder + "/locked"));
}

TEST(AccessList, FileHasACLIsFalseForLinksDevicesAndMissingItems) {
    TempDir tmp("bw2acl");
    writeFile(tmp / "f", "x");
    setExtendedAcl(tmp / "f");
    fs::create_symlink(tmp / "f", tmp / "link");
    EXPECT_FALSE(bw::fileHasACL(tmp / "link"));
    EXPECT_FALSE(bw::fileHasACL("/dev/null"));
    EXPECT_FALSE(bw::fileHasACL(tmp / "missing"));
    // The external tool is not shipped.
    EXPECT_FALSE(bw::clearACLWithTool(tmp / "f", false));
}

TEST_F(AccessListTest, DescriptorAndFolderFormsClearOnlyTheItemTheyReach) {
    writeFile(src + "/plain", "p");
    writeFile(src + "/listed", "l");
    fs::create_directories(src + "/folder");
    writeFile(src + "/folder/inner", "i");
    const std::string outside = tmp / "outside";
    writeFile(outside, "o");
    if (!setExtendedAcl(src + "/listed") || !setExtendedAcl(src + "/folder", ACL_TYPE_DEFAULT) ||
        !setExtendedAcl(src + "/folder/inner") || !setExtendedAcl(outside))
        GTEST_SKIP() << "no access lists on this file system";
    fs::create_symlink(outside, src + "/link");
    UniqueFd dir(::open(src.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);

    struct Case {
        const char* name;
        bool listedBefore; // fileHasACLAt before clearing
        bool cleared;      // what the clear answers
    };
    const Case cases[] = {
        {"plain", false, true},
        {"listed", true, true},
        {"folder", true, true},   // its default list counts and goes
        {"link", false, true},    // a link has no list and is not followed
        {"missing", false, false},
    };
    for (const bool byDescriptor : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (byDescriptor ? " by descriptor" : " in its folder"));
            if (byDescriptor) {
                // Lists set again so that the descriptor form has something to clear.
                if (c.listedBefore) {
                    ASSERT_TRUE(setExtendedAcl(src + "/" + c.name,
                                               std::string(c.name) == "folder" ? ACL_TYPE_DEFAULT : ACL_TYPE_ACCESS));
                }
                UniqueFd item(::openat(dir.get(), c.name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
                EXPECT_EQ(c.listedBefore, bw::fileHasACLAt(dir.get(), c.name));
                EXPECT_EQ(c.cleared, item && bw::clearACLOfItem(item.get(), c.name));
            } else {
                EXPECT_EQ(c.listedBefore, bw::fileHasACLAt(dir.get(), c.name));
                EXPECT_EQ(c.cleared, bw::clearACLAt(dir.get(), c.name, false));
            }
            EXPECT_FALSE(bw::fileHasACLAt(dir.get(), c.name));
        }
    }
    EXPECT_TRUE(hasExtendedAccessAcl(outside)) << "the link's target is not touched";
    EXPECT_TRUE(bw::fileHasACL(src + "/folder/inner")) << "neither form walks into the folder";
}
