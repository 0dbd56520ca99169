// Taking over the first version's caches: conversion into batches, merging, deletion, the volumes left
// alone, the name marker taken out of deep trees, and the search for its applications.

#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "cache_pruning.h"
#include "recording_services.h"
#include "temp_dir.h"
#include "version1_migration.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

namespace {

using bw::test::makeDirs;
using bw::test::pathExists;
using bw::test::putFile;
using bw::test::readFile;
using bw::test::RecordingServices;
using bw::test::TempDir;

std::vector<std::string> entriesOf(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Two subfolders of three marked items each: files, and a folder whose inner names are marked too.
void makeVersion1Cache(const std::string& folder, const std::string& tag) {
    putFile(folder + "/1/report" + tag + ".x_.txt", "r");
    putFile(folder + "/1/.x_photo" + tag + ".jpg", "p");
    putFile(folder + "/1/plain" + tag, "n");
    putFile(folder + "/2/notes" + tag + ".x_", "n");
    putFile(folder + "/2/project" + tag + ".x_/src.x_/main.x_.c", "int main;");
    putFile(folder + "/2/letter" + tag + ".x_.odt", "l");
}

bw::Version1Context contextFor(const std::string& home, std::vector<std::string> volumes,
                               std::vector<bw::MountEntry> mounts) {
    bw::Version1Context context;
    context.uid = getuid();
    context.gid = getgid();
    context.homeFolder = home;
    context.configFolder = home + "/.config";
    context.autostartFolder = home + "/.config/autostart";
    context.volumes = std::move(volumes);
    context.mounts = std::move(mounts);
    return context;
}

std::set<std::string> realNames(const bw::BWCacheIndex& index) {
    std::set<std::string> names;
    for (const auto& [stored, entry] : index.indexTable().value_or(bw::BWIndexTable{}))
        names.insert(entry.realName);
    return names;
}

TEST(ConvertVersion1, TwoSubfoldersOfThreeItemsMakeOneBatchOfSixUnmarkedEntriesAndASecondRunMerges) {
    TempDir home;
    std::string v1 = home / ".TrashCacheFolder";
    makeVersion1Cache(v1, "");
    auto context = contextFor(home.path(), {"/"}, {{"/", "ext4", "/dev/sda1"}});
    std::time_t when = std::time(nullptr);

    auto first = bw::convertV1CacheToV2(v1, context, when);
    EXPECT_EQ(first.moved, 6u);
    EXPECT_EQ(first.failed, 0u);
    EXPECT_TRUE(first.version1FolderRemoved);
    EXPECT_FALSE(pathExists(v1));
    ASSERT_EQ(entriesOf(home / ".Binwarden2Cache"), std::vector<std::string>{bw::batchFolderName(when)});
    std::string batch = home / ".Binwarden2Cache/" + bw::batchFolderName(when);
    EXPECT_EQ(first.batchFolder, batch);

    auto index = bw::readCacheIndex(batch);
    ASSERT_TRUE(index.has_value());
    const std::set<std::string> expected = {"report.txt", "photo.jpg", "plain", "notes", "project", "letter.odt"};
    EXPECT_EQ(realNames(*index), expected);
    auto stored = entriesOf(batch);
    ASSERT_EQ(stored.size(), 7u); // six items and the index
    for (const auto& [name, entry] : *index->indexTable()) {
        EXPECT_EQ(name.size(), 36u);
        EXPECT_TRUE(pathExists(batch + "/" + name));
        if (entry.realName == "project") {
            EXPECT_EQ(readFile(batch + "/" + name + "/src/main.c"), "int main;") << "inner names are unmarked";
        }
    }
    EXPECT_GT(index->cacheSize(), 0u);
    double created = index->cacheCreationTime();

    makeVersion1Cache(v1, "-again");
    auto second = bw::convertV1CacheToV2(v1, context, when);
    EXPECT_EQ(second.batchFolder, batch);
    auto merged = bw::readCacheIndex(batch);
    ASSERT_TRUE(merged.has_value());
    EXPECT_EQ(merged->indexTable()->size(), 12u);
    EXPECT_TRUE(realNames(*merged).count("report.txt") && realNames(*merged).count("report-again.txt"));
    EXPECT_EQ(merged->cacheCreationTime(), created);
    EXPECT_EQ(entriesOf(home / ".Binwarden2Cache").size(), 1u);
}

TEST(FinishUninstallVersion1, DeleteOrConvertOnEachVolumeAndLeaveNetworkVolumesAlone) {
    struct Case {
        const char* what;
        bool deleteVersion1;
    };
    for (const auto& c : {Case{"convert", false}, Case{"delete", true}}) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string home = dir / "home", local = dir / "media/disk", network = dir / "net/share";
        makeVersion1Cache(home + "/.TrashCacheFolder", "");
        makeVersion1Cache(local + "/.TrashCacheFolder", "");
        makeVersion1Cache(network + "/.TrashCacheFolder", "");
        putFile(home + "/.config/com.kor.Binwarden.plist", "first version settings");
        putFile(home + "/.config/autostart/BinwardenMenuExtra.desktop",
                "[Desktop Entry]\nExec=/Applications/Binwarden.app/Contents/Resources/BinwardenMenuExtra.app\n");
        putFile(home + "/.config/autostart/other.desktop", "[Desktop Entry]\nExec=/usr/bin/other\n");
        auto context =
            contextFor(home, {"/", local, network},
                       {{"/", "ext4", "/dev/sda1"}, {local, "ext4", "/dev/sdb1"}, {network, "nfs4", "srv:/x"}});
        EXPECT_EQ(bw::getVersion1CachesPaths(context.volumes, context.mounts, home),
                  (std::vector<std::string>{home + "/.TrashCacheFolder", local + "/.TrashCacheFolder"}));

        RecordingServices recorder;
        auto report =
            bw::finishUninstallV1({dir / "Applications/Binwarden.app"}, c.deleteVersion1, context, recorder.services());

        EXPECT_FALSE(pathExists(home + "/.TrashCacheFolder"));
        EXPECT_FALSE(pathExists(local + "/.TrashCacheFolder"));
        EXPECT_EQ(entriesOf(network + "/.TrashCacheFolder"), (std::vector<std::string>{"1", "2"}));
        EXPECT_FALSE(pathExists(network + "/.Binwarden2Cache"));
        EXPECT_FALSE(pathExists(home + "/.config/com.kor.Binwarden.plist"));
        EXPECT_FALSE(pathExists(home + "/.config/autostart/BinwardenMenuExtra.desktop"));
        EXPECT_TRUE(pathExists(home + "/.config/autostart/other.desktop"));
        EXPECT_TRUE(report.leftBehind.empty());
        EXPECT_EQ(recorder.postNames(), std::vector<std::string>{"BWNotificationStartProtection"});
        EXPECT_EQ(recorder.posts[0].object, std::optional<std::string>(std::to_string(getuid())));
        if (c.deleteVersion1) {
            EXPECT_EQ(report.deleted.size(), 2u);
            EXPECT_FALSE(pathExists(home + "/.Binwarden2Cache"));
            EXPECT_FALSE(pathExists(local + "/.Binwarden2Cache"));
            continue;
        }
        ASSERT_EQ(report.converted.size(), 2u);
        EXPECT_EQ(entriesOf(home + "/.Binwarden2Cache").size(), 1u);
        // On another volume the batch goes into the user's own folder there, where the recovery list looks.
        std::string own = local + "/.Binwarden2Cache/" + std::to_string(getuid());
        ASSERT_EQ(entriesOf(own).size(), 1u);
        auto index = bw::readCacheIndex(own + "/" + entriesOf(own)[0]);
        ASSERT_TRUE(index.has_value());
        EXPECT_EQ(index->indexTable()->size(), 6u);
        struct stat st {};
        ASSERT_EQ(stat(own.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
}

TEST(UnscrambleVersion1, TakesTheMarkerOutOfATreeDeeperThanPathsAndDescriptorsAllow) {
    TempDir dir;
    // 300 levels of 17-character names: far beyond what a path may name (PATH_MAX).
    const int depth = 300;
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(mkdirat(fd, "top.x_", 0755), 0);
    int level = openat(fd, "top.x_", O_RDONLY | O_DIRECTORY);
    close(fd);
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(mkdirat(level, "level-of-the.x_tree", 0755), 0);
        int file = openat(level, "f.x_.txt", O_WRONLY | O_CREAT, 0644);
        close(file);
        int next = openat(level, "level-of-the.x_tree", O_RDONLY | O_DIRECTORY);
        close(level);
        level = next;
    }
    close(level);

    EXPECT_EQ(bw::unscrambleVersion1Folder(dir / "top.x_"), dir / "top");
    int walk = open((dir / "top").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(walk, 0);
    int reached = 0;
    for (;;) {
        struct stat st {};
        if (reached < depth) {
            EXPECT_EQ(fstatat(walk, "f.txt", &st, 0), 0) << "at depth " << reached;
        }
        int next = openat(walk, "level-of-thetree", O_RDONLY | O_DIRECTORY);
        close(walk);
        if (next < 0)
            break;
        walk = next;
        ++reached;
    }
    EXPECT_EQ(reached, depth);
    // The temporary folder's own clean-up walks by path, which a tree this deep defeats.
    int top = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_TRUE(bw::removeTreeAt(top, "top"));
    close(top);
}

TEST(UnscrambleVersion1, ANameAlreadyTakenKeepsItsMarkedFormAndNothingIsOverwritten) {
    TempDir dir;
    putFile(dir / "f/a.x_.txt", "marked");
    putFile(dir / "f/a.txt", "already there");
    bw::unscrambleVersion1Folder(dir / "f");
    EXPECT_EQ(readFile(dir / "f/a.txt"), "already there");
    EXPECT_EQ(readFile(dir / "f/a.x_.txt"), "marked");
}

TEST(FindVersion1Applications, FindsBundlesWithinTheDepthOnceWithoutFollowingLinks) {
    TempDir dir;
    makeDirs(dir / "opt/Binwarden.app/Contents");
    makeDirs(dir / "home/Applications/Old/Binwarden.app");
    makeDirs(dir / "home/a/b/c/d/Binwarden.app"); // deeper than three levels
    makeDirs(dir / "elsewhere/Binwarden.app");
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "home/link").c_str()), 0);
    auto found = bw::findVersion1Applications(
        {{dir / "opt", 3}, {dir / "home/Applications", 3}, {dir / "home", 3}, {dir / "missing", 3}});
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found,
              (std::vector<std::string>{dir / "home/Applications/Old/Binwarden.app", dir / "opt/Binwarden.app"}));
}

TEST(Version1Menu, IsSeenRunningForAnyUserByItsKernelName) {
    struct Case {
        std::vector<bw::ProcessEntry> table;
        bool running;
    };
    const std::vector<Case> cases = {
        {{{5, 1001, "BinwardenMenuEx"}}, true},
        {{{5, 1000, "Binwarden"}}, false},
        {{{5, 1000, "BinwardenMenu"}}, false},
        {{}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bw::isVersion1MenuRunning(c.table), c.running);
}

} // namespace
