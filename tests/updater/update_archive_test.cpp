// Signed archives and installing them: signatures, unpacking (hostile archives included) and replacing a
// user's install tree, with a temporary HOME, Trash and install tree.

#include "archive_builder.h"
#include "temp_dir.h"
#include "files/unique_fd.h"
#include "update_archive.h"
#include "update_install.h"
#include "update_signature.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace bw;
using namespace bw::test;
namespace fs = std::filesystem;

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

int countEntries(const std::string& folder) {
    std::error_code ec;
    int n = 0;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

} // namespace

TEST(UpdateSignature, DetachedSignatures) {
    TempDir dir;
    auto [publicKey, secretKey] = generateUpdateKeyPair();
    auto [otherPublic, otherSecret] = generateUpdateKeyPair();
    EXPECT_EQ(publicKeyOf(secretKey), publicKey);
    EXPECT_EQ(publicKeyFromHex(keyToHex(publicKey.data(), publicKey.size()) + "\n"), publicKey);
    EXPECT_EQ(secretKeyFromHex(keyToHex(secretKey.data(), secretKey.size())), secretKey);
    EXPECT_FALSE(publicKeyFromHex("abc"));
    EXPECT_FALSE(publicKeyFromHex(std::string(64, 'g')));

    writeFile(dir / "a.tar.gz", "archive content");
    UniqueFd fd(open((dir / "a.tar.gz").c_str(), O_RDONLY));
    auto signature = signFileContent(fd.get(), secretKey);
    ASSERT_TRUE(signature);
    std::vector<std::uint8_t> flipped = *signature;
    flipped[10] ^= 1;
    EXPECT_TRUE(verifyFileSignature(fd.get(), *signature, publicKey));
    EXPECT_FALSE(verifyFileSignature(fd.get(), *signature, otherPublic));
    EXPECT_FALSE(verifyFileSignature(fd.get(), flipped, publicKey));
    EXPECT_FALSE(verifyFileSignature(fd.get(), {}, publicKey));
    EXPECT_FALSE(
        verifyFileSignature(fd.get(), std::vector<std::uint8_t>(signature->begin(), signature->end() - 1), publicKey));
    writeFile(dir / "a.tar.gz", "archive contenT");
    UniqueFd changed(open((dir / "a.tar.gz").c_str(), O_RDONLY));
    EXPECT_FALSE(verifyFileSignature(changed.get(), *signature, publicKey));
}

TEST(UpdateArchive, UnpacksAnInstallTree) {
    TempDir dir;
    writeArchive(dir / "u.tar.gz", installTreeEntries("2.1"));
    makeDirs(dir / "out", 0700);
    UniqueFd fd(open((dir / "u.tar.gz").c_str(), O_RDONLY));
    UnpackResult result = unpackUpdateArchive(fd.get(), dir / "out");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(readFile(dir / "out/bin/binwarden2-menu"), "#!/bin/sh\necho menu 2.1\n");
    EXPECT_EQ(readFile(dir / "out/bin/bw2-helper"), "helper 2.1"); // through the link
    EXPECT_EQ(readFile(dir / "out/bin/binwarden2-again"), "#!/bin/sh\necho app 2.1\n");
    struct stat st {};
    ASSERT_EQ(stat((dir / "out/bin/binwarden2-menu").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(lstat((dir / "out/bin/bw2-helper").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(UpdateArchive, RefusesHostileArchives) {
    using E = ArchiveEntry;
    TempDir dir;
    std::string outside = dir / "outside";
    struct Case {
        const char* name;
        std::vector<ArchiveEntry> entries;
    } cases[] = {
        {"dot-dot", {fileEntry("../escaped", "x")}},
        {"dot-dot inside", {folderEntry("a"), fileEntry("a/../../escaped", "x")}},
        {"absolute path", {fileEntry(outside + "/escaped", "x")}},
        {"link out", {linkEntry(E::Symlink, "link", "../outside")}},
        {"absolute link", {linkEntry(E::Symlink, "link", outside)}},
        {"link with a late ..", {linkEntry(E::Symlink, "a", "."), linkEntry(E::Symlink, "b", "a/../../outside")}},
        {"write through a link", {linkEntry(E::Symlink, "bin", "."), fileEntry("bin/x", "x")}},
        {"hard link out", {linkEntry(E::HardLink, "passwd", "/etc/passwd")}},
        {"hard link up", {linkEntry(E::HardLink, "passwd", "../outside/file")}},
        {"device", {specialEntry(E::CharDevice, "null")}},
        {"fifo", {specialEntry(E::Fifo, "pipe")}},
        {"set-user-id", {fileEntry("bin/helper", "x", 04755)}},
        {"set-group-id folder", {folderEntry("share", 02755)}},
        {"same name twice", {fileEntry("a", "1"), fileEntry("a", "2")}},
        {"3 GiB of zeros", {zerosEntry("zeros", 3ULL << 30)}},
    };
    int n = 0;
    for (const auto& c : cases) {
        makeDirs(outside, 0755);
        writeFile(outside + "/file", "keep");
        std::string archive = dir / ("a" + std::to_string(n) + ".tar.gz");
        std::string into = dir / ("into" + std::to_string(n++));
        writeArchive(archive, c.entries);
        makeDirs(into, 0700);
        UniqueFd fd(open(archive.c_str(), O_RDONLY));
        UnpackResult result = unpackUpdateArchive(fd.get(), into);
        EXPECT_FALSE(result.ok) << c.name;
        EXPECT_FALSE(result.error.empty()) << c.name;
        EXPECT_LT(result.bytes, kMaxUnpackedUpdateSize) << c.name;
        EXPECT_EQ(countEntries(outside), 1) << c.name;
        EXPECT_EQ(readFile(outside + "/file"), "keep") << c.name;
        EXPECT_FALSE(exists(dir / "escaped")) << c.name;
        unlink(archive.c_str());
        fs::remove_all(into);
    }
    writeFile(dir / "garbage.tar.gz", "this is not an archive");
    makeDirs(dir / "g", 0700);
    UniqueFd garbage(open((dir / "garbage.tar.gz").c_str(), O_RDONLY));
    EXPECT_FALSE(unpackUpdateArchive(garbage.get(), dir / "g").ok);
}

TEST(UpdateInstall, ReplacesOnlyWithAGoodSignature) {
    TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    auto [publicKey, secretKey] = generateUpdateKeyPair();
    auto [otherPublic, otherSecret] = generateUpdateKeyPair();
    enum Prepare { Signed, Unsigned, Tampered, WrongKey, NoKey, RootOwned, NoProgram, Hostile };
    struct Case {
        const char* name;
        Prepare prepare;
        InstallError error;
    } cases[] = {
        {"signed", Signed, InstallError::None},
        {"missing signature", Unsigned, InstallError::MissingSignature},
        {"tampered archive", Tampered, InstallError::BadSignature},
        {"signed with another key", WrongKey, InstallError::BadSignature},
        {"no trusted key", NoKey, InstallError::NoTrustedKey},
        {"tree owned by root", RootOwned, InstallError::NotReplaceable},
        {"not an install tree", NoProgram, InstallError::NotAnInstallTree},
        {"hostile archive", Hostile, InstallError::BadArchive},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir place;
        std::string root = place / "binwarden2";
        makeDirs(root + "/bin");
        writeFile(root + "/bin/binwarden2-menu", "old");
        uid_t owner = c.prepare == RootOwned ? 0 : treeOwner();
        chownTree(root, owner);
        std::string archive = home / "Downloads/binwarden2-2.1.tar.gz";
        makeDirs(home / "Downloads");
        std::vector<ArchiveEntry> entries = installTreeEntries("2.1");
        if (c.prepare == NoProgram)
            entries.erase(entries.begin() + 2);
        if (c.prepare == Hostile)
            entries.push_back(linkEntry(ArchiveEntry::Symlink, "./share", "../../.."));
        writeArchive(archive, entries);
        if (c.prepare != Unsigned)
            signArchive(archive, c.prepare == WrongKey ? otherSecret : secretKey);
        if (c.prepare == Tampered) {
            UniqueFd fd(open(archive.c_str(), O_WRONLY | O_APPEND));
            ASSERT_EQ(write(fd.get(), "x", 1), 1);
        }
        int quitAnnouncements = 0;
        InstallRequest request;
        request.archivePath = archive;
        request.root = root;
        request.owner = c.prepare == RootOwned ? getuid() : treeOwner();
        if (c.prepare != NoKey)
            request.key = publicKey;
        request.beforeReplace = [&] { ++quitAnnouncements; };
        InstallOutcome outcome = installUpdateArchive(request);

        EXPECT_EQ(outcome.error, c.error) << outcome.detail;
        EXPECT_FALSE(exists(archive));
        EXPECT_FALSE(exists(archive + ".sig"));
        EXPECT_EQ(countEntries(place.path()), 1); // no staging folder left beside the tree
        if (c.error == InstallError::None) {
            EXPECT_EQ(quitAnnouncements, 1);
            EXPECT_EQ(readFile(root + "/bin/binwarden2-menu"), "#!/bin/sh\necho menu 2.1\n");
            std::string trashed = home / ".local/share/Trash/files/binwarden2/bin/binwarden2-menu";
            EXPECT_EQ(readFile(trashed), "old");
            std::string info = readFile(home / ".local/share/Trash/info/binwarden2.trashinfo");
            EXPECT_NE(info.find("[Trash Info]\nPath=" + root + "\nDeletionDate="), std::string::npos) << info;
            fs::remove_all(home / ".local/share/Trash");
        } else {
            EXPECT_EQ(quitAnnouncements, 0);
            EXPECT_EQ(readFile(root + "/bin/binwarden2-menu"), "old");
            EXPECT_FALSE(exists(home / ".local/share/Trash/files/binwarden2"));
        }
    }
}

TEST(UpdateInstall, TreeStates) {
    TempDir place;
    makeDirs(place / "mine");
    chownTree(place / "mine", treeOwner());
    makeDirs(place / "system");
    if (getuid() != 0)
        GTEST_SKIP() << "a tree owned by root needs root to make";
    struct Case {
        std::string path;
        uid_t owner;
        InstallTreeState state;
    } cases[] = {
        {place / "mine", treeOwner(), InstallTreeState::Replaceable},
        {place / "system", 0, InstallTreeState::NotOurs}, // root's tree, even for root
        {place / "system", treeOwner(), InstallTreeState::NotOurs},
        {place / "missing", treeOwner(), InstallTreeState::Missing},
    };
    for (const auto& c : cases)
        EXPECT_EQ(installTreeState(c.path, c.owner), c.state) << c.path;
}
