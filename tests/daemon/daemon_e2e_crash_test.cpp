// SIGKILL in the middle of large batches: nothing trashed is lost from view, nothing half-copied is listed.

#include "daemon_e2e_fixture.h"
#include "files/copy_file.h"

#include <signal.h>

#include <set>

namespace bw::test {

namespace {

std::string fileContent(int i, std::size_t size) {
    std::string s(size, static_cast<char>('a' + i % 26));
    std::string tag = "item-" + std::to_string(i) + "|";
    s.replace(0, std::min(tag.size(), size), tag.substr(0, std::min(tag.size(), size)));
    return s;
}

// Whether two items hold the same tree with the same file contents.
bool sameContent(const std::string& a, const std::string& b) {
    if (fs::is_directory(a) != fs::is_directory(b))
        return false;
    if (!fs::is_directory(a))
        return fs::file_size(a) == fs::file_size(b) && readFile(a) == readFile(b);
    std::set<std::string> left, right;
    for (auto& e : fs::directory_iterator(a))
        left.insert(e.path().filename().string());
    for (auto& e : fs::directory_iterator(b))
        right.insert(e.path().filename().string());
    if (left != right)
        return false;
    for (const std::string& name : left)
        if (!sameContent(a + "/" + name, b + "/" + name))
            return false;
    return true;
}

} // namespace

class DaemonCrash : public DaemonE2E {
protected:
    // Restarts the daemon so that it recovers, without transferring anything, and stops it again.
    void recover() {
        DaemonProcess again = startAndWait(3);
        quit(again);
    }

    void expectNoLeftovers() {
        for (const std::string& batch : batchFolders())
            EXPECT_FALSE(fs::exists(batch + "/" + KOR_CopyFile::getKOREVTemporaryFile())) << batch;
        for (auto& [stored, name] : entries())
            EXPECT_TRUE(fs::exists(stored)) << "an index entry without its item: " << name;
    }
};

TEST_F(DaemonCrash, KilledDuringAMoveLosesNothing) {
    const int count = 10000;
    for (int i = 0; i < count; ++i) {
        const std::string name = "file " + std::to_string(i) + ".txt";
        writeFile(trash + name, fileContent(i, 16));
    }
    DaemonProcess daemon = startAndWait(1);
    bool caughtMidway = eventually(
        [&] {
            std::size_t left = trashCount();
            if (left > 0 && left < static_cast<std::size_t>(count)) {
                daemon.signal(SIGKILL);
                return true;
            }
            return false;
        },
        20);
    daemon.waitExit(5);
    EXPECT_TRUE(caughtMidway) << "the batch ended before the kill";

    recover();
    expectNoLeftovers();
    std::map<std::string, std::string> byName;
    for (auto& [stored, name] : entries()) {
        EXPECT_TRUE(byName.emplace(name, stored).second) << name << " listed twice";
    }
    std::size_t inTrash = 0;
    for (int i = 0; i < count; ++i) {
        const std::string name = "file " + std::to_string(i) + ".txt";
        const bool trashed = fs::exists(trash + name);
        const bool cached = byName.count(name) > 0;
        inTrash += trashed;
        ASSERT_NE(trashed, cached) << name << (trashed ? " is in the trash and in the cache" : " is lost");
        if (cached) {
            ASSERT_EQ(fileContent(i, 16), readFile(byName[name])) << name;
        }
    }
    EXPECT_GT(inTrash, 0u);

    // A normal run afterwards finishes the job, each item once.
    DaemonProcess finish = startAndWait(1);
    ASSERT_TRUE(eventually([&] { return trashCount() == 0; }, 30)) << log();
    recorder.pump(0.5);
    quit(finish);
    EXPECT_EQ(static_cast<std::size_t>(count), entries().size());
}

TEST_F(DaemonCrash, KilledDuringACopyListsNoHalfCopiedItem) {
    const int files = 40;
    const std::size_t size = 4u << 20;
    for (int i = 0; i < files; ++i)
        writeFile(trash + "big " + std::to_string(i), fileContent(i, size));
    makeDirs(trash + "tree/sub");
    for (int i = 0; i < 200; ++i)
        writeFile(trash + "tree/sub/f" + std::to_string(i), fileContent(i, 1000));

    DaemonProcess daemon = startAndWait(2);
    bool caughtMidway = eventually(
        [&] {
            for (const std::string& batch : batchFolders()) {
                std::size_t stored = 0;
                for (auto& e : fs::directory_iterator(batch))
                    stored += e.path().filename().string().size() == 36;
                if (stored >= 3) {
                    daemon.signal(SIGKILL);
                    return true;
                }
            }
            return false;
        },
        20);
    daemon.waitExit(5);
    EXPECT_TRUE(caughtMidway);
    EXPECT_TRUE(recorder.named(notif::kNewDataInCache).empty()) << "the batch ended before the kill";

    // Even before any recovery, every stored item that an index lists is complete.
    for (auto& [stored, name] : entries()) {
        if (fs::exists(stored)) {
            EXPECT_TRUE(sameContent(trash + name, stored)) << name;
        }
    }

    recover();
    expectNoLeftovers();
    for (auto& [stored, name] : entries())
        EXPECT_TRUE(sameContent(trash + name, stored)) << name;
    for (int i = 0; i < files; ++i)
        EXPECT_TRUE(fs::exists(trash + "big " + std::to_string(i))) << "copy mode never takes from the trash";
    EXPECT_GT(entries().size(), 0u);
    EXPECT_LT(entries().size(), static_cast<std::size_t>(files + 1));
}

} // namespace bw::test
