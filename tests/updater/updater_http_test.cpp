// The updater against an update script served on 127.0.0.1 by the test itself: the reply (compressed,
// plain after "&&clear", unusable), what a check decides (offer, "up to date", announcement on a private
// bus), the once-a-day offer, and downloading, verifying and installing into a temporary tree.

#include "PXUpdater.h"
#include "PXUpdaterController.h"
#include "archive_builder.h"
#include "store/compression.h"
#include "loopback_server.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "private_bus.h"
#include "temp_dir.h"
#include "updater_strings.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QToolButton>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

using namespace bw;
using namespace bw::test;
namespace fs = std::filesystem;

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "updater_http_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs the event loop (and the bus, when given) until `done` or the bound; answers `done()`.
bool waitFor(const std::function<bool()>& done, int milliseconds = 10000, NotificationBus* bus = nullptr) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (bus)
            bus->process();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

QByteArray compressed(const std::string& text) {
    return LoopbackServer::compressed(text);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

struct Recorded {
    std::vector<std::string> alertTitles;
    std::vector<std::string> openedURLs;
    std::vector<std::string> relaunched;
};

class UpdaterHttp : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOME", home.path().c_str(), 1);
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        ASSERT_TRUE(server.listening());
    }

    // An updater set up as the agent sets up its own, pointed at the test's server.
    std::unique_ptr<PXUpdater> makeUpdater(Recorded& recorded) {
        auto updater = std::make_unique<PXUpdater>();
        updater->setProductReference("BW2");
        updater->setScriptURL(server.url("/update.php"));
        updater->setLocalVersion("2.0.1");
        updater->setSystemVersion(60100);
        updater->setCanWarnUser(true);
        updater->setCanPostNotification(false);
        updater->setAlertPresenter([&recorded](const QString& title, const QString&, const QString&) {
            recorded.alertTitles.push_back(title.toStdString());
        });
        updater->setURLOpener([&recorded](const std::string& url) { recorded.openedURLs.push_back(url); });
        updater->setRelauncher([&recorded](const std::string& root) { recorded.relaunched.push_back(root); });
        return updater;
    }

    bool check(PXUpdater& updater, bool* answered = nullptr, NotificationBus* bus = nullptr) {
        bool finished = false;
        auto connection = QObject::connect(&updater, &PXUpdater::checkFinished, [&](bool ok) {
            finished = true;
            if (answered)
                *answered = ok;
        });
        updater.checkVersionAsynchronous();
        bool ended = waitFor([&] { return finished; }, 10000, bus);
        QObject::disconnect(connection);
        // Let a queued offer show.
        waitFor([] { return false; }, 50, bus);
        return ended;
    }

    static bool offerShown(const PXUpdater& updater) {
        return updater.windowController() && updater.windowController()->updateWaningWin()->isVisible();
    }

    QApplication& app = application(); // before the server, whose sockets need the application's loop
    TempDir home;
    LoopbackServer server;
};

} // namespace

TEST_F(UpdaterHttp, WhatACheckDecides) {
    const std::string fields = "2.1;50000;https://www.example.org/bw2;https://www.example.org/bw2.tar.gz";
    struct Case {
        const char* name;
        QByteArray reply;
        bool canWarn, manual, canPost;
        bool answered;
        int requests;       // to the script
        bool offer;         // the offer window shows
        bool upToDateAlert; // "up to date" (manual checks)
        bool announced;     // "a newer version exists" on the bus
    } cases[] = {
        {"compressed reply", compressed(fields), true, false, false, true, 1, true, false, false},
        {"plain reply after &&clear", QByteArray::fromStdString(fields), true, false, false, true, 2, true, false,
         false},
        {"system too old", compressed("2.1;999999;https://www.example.org/;https://www.example.org/a.tar.gz"), true,
         true, true, true, 1, false, false, false},
        {"manual, nothing newer", compressed("2.0.1;50000;https://www.example.org/;https://www.example.org/a.tar.gz"),
         false, true, false, true, 1, false, true, false},
        {"automatic, nothing newer", compressed("2.0.1;50000;https://e.example/;https://e.example/a.tar.gz"), true,
         false, true, true, 1, false, false, false},
        {"application: announced, not offered", compressed(fields), false, false, true, true, 1, false, false, true},
        {"agent: neither offered nor announced", compressed(fields), false, false, false, true, 1, false, false, false},
        {"fewer than four fields", compressed("2.1;50000;https://www.example.org/"), true, false, true, false, 1, false,
         false, false},
        {"empty reply", QByteArray(), true, false, true, false, 1, false, false, false},
    };
    PrivateBus privateBus;
    ASSERT_TRUE(privateBus.ok());
    NotificationBus listener;
    std::vector<std::string> announcedURLs;
    listener.observe(notif::kNewVersionAvailable, [&](const Notification& n) {
        plist_t url = n.userInfo ? plist_dict_get_item(n.userInfo.get(), notif::kProductDownloadURLKey) : nullptr;
        const char* text = url ? plist_get_string_ptr(url, nullptr) : nullptr;
        announcedURLs.push_back(text ? text : "");
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorded recorded;
        announcedURLs.clear();
        server.setRoute("/update.php", {c.reply});
        size_t before = server.requests().size();
        auto updater = makeUpdater(recorded);
        updater->setCanWarnUser(c.canWarn);
        updater->setManualUpdate(c.manual);
        updater->setCanPostNotification(c.canPost);
        bool answered = false;
        ASSERT_TRUE(check(*updater, &answered, &listener));
        waitFor([&] { return !announcedURLs.empty(); }, c.announced ? 5000 : 300, &listener);
        EXPECT_EQ(answered, c.answered);
        ASSERT_EQ(server.requests().size() - before, static_cast<size_t>(c.requests));
        const std::string& first = server.requests()[before];
        EXPECT_EQ(first, "/update.php?" + asciiToHexa(std::string("60100|2.0.1|BW2|") + (c.manual ? "NOLOG" : "LOG")));
        if (c.requests == 2) {
            EXPECT_EQ(server.requests()[before + 1], first + asciiToHexa(std::string("&&clear")));
        }
        EXPECT_EQ(offerShown(*updater), c.offer);
        EXPECT_EQ(std::count(recorded.alertTitles.begin(), recorded.alertTitles.end(),
                             updaterString("Updater_1.0_No new version title")),
                  c.upToDateAlert ? 1 : 0);
        if (c.upToDateAlert) {
            EXPECT_FALSE(updater->manualUpdate());
        }
        EXPECT_EQ(announcedURLs.size(), c.announced ? 1u : 0u);
        if (c.announced && !announcedURLs.empty()) {
            EXPECT_EQ(announcedURLs[0], "https://www.example.org/bw2");
        }
    }
}

TEST_F(UpdaterHttp, AFailedCheckChangesNothing) {
    Recorded recorded;
    auto updater = makeUpdater(recorded);
    updater->setCanWarnUser(false);
    server.setRoute("/update.php", {compressed("2.0.1;50000;https://a.example/;https://a.example/a.tar.gz")});
    bool answered = false;
    ASSERT_TRUE(check(*updater, &answered));
    ASSERT_TRUE(answered);
    for (int status : {404, 500}) {
        server.setRoute("/update.php", {"2.9;1;https://b.example/;https://b.example/b.tar.gz", status});
        ASSERT_TRUE(check(*updater, &answered));
        EXPECT_FALSE(answered) << status;
        ASSERT_TRUE(updater->updateInfos());
        EXPECT_EQ(updater->updateInfos()->currentVersion, "2.0.1") << status;
    }
    // No address, or one that is neither https nor this machine: no request at all.
    size_t requests = server.requests().size();
    for (const std::string& script : {std::string("http://www.example.org/update.php"), std::string("ftp://x/")}) {
        auto other = makeUpdater(recorded);
        other->setScriptURL(script);
        ASSERT_TRUE(check(*other, &answered));
        EXPECT_FALSE(answered) << script;
        EXPECT_EQ(other->checksRequested(), 0) << script;
    }
    EXPECT_EQ(server.requests().size(), requests);
}

TEST_F(UpdaterHttp, FollowsOnlySafeRedirects) {
    server.setRoute("/moved.php", {compressed("2.1;50000;https://a.example/;https://a.example/a.tar.gz")});
    struct Case {
        std::string location;
        bool answered;
    } cases[] = {
        {server.url("/moved.php"), true},
        {"http://localhost:" + server.url("").substr(server.url("").rfind(':') + 1) + "/moved.php", false},
        {"file:///etc/passwd", false},
    };
    for (const auto& c : cases) {
        Recorded recorded;
        auto updater = makeUpdater(recorded);
        updater->setCanWarnUser(false);
        server.setRoute("/update.php", {"moved", 302, -1, QByteArray::fromStdString(c.location)});
        bool answered = !c.answered;
        ASSERT_TRUE(check(*updater, &answered));
        EXPECT_EQ(answered, c.answered) << c.location;
    }
}

TEST_F(UpdaterHttp, OfferedAtMostOnceADay) {
    Recorded recorded;
    auto updater = makeUpdater(recorded);
    server.setRoute("/update.php", {compressed("2.1;50000;https://www.example.org/;https://www.example.org/a.tar.gz")});
    struct Step {
        const char* name;
        std::function<void()> before;
        bool offer;
    } steps[] = {
        {"first check", [] {}, true},
        {"again at once", [] {}, false},
        {"after resetUpdateTime", [&] { updater->resetUpdateTime(); }, true},
        {"manual", [&] { updater->setManualUpdate(true); }, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        updater->windowController() ? updater->windowController()->updateWaningWin()->hide() : void();
        step.before();
        ASSERT_TRUE(check(*updater));
        EXPECT_EQ(offerShown(*updater), step.offer);
    }
    // The window: title, both versions in the message, notes behind the disclosure button.
    PXUpdaterController* controller = updater->windowController();
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->titleTF()->text().toStdString(), updaterString("Updater_1.0_NewVersionCheckTitle"));
    EXPECT_TRUE(controller->messageTF()->text().contains("2.0.1"));
    EXPECT_TRUE(controller->messageTF()->text().contains("2.1"));
    QDialog* window = controller->updateWaningWin();
    int closedHeight = window->height();
    EXPECT_FALSE(controller->releaseNotesView()->isVisibleTo(window));
    controller->disclosureButton()->click();
    waitFor([&] { return window->height() >= closedHeight + 250; }, 3000);
    EXPECT_TRUE(controller->releaseNotesView()->isVisibleTo(window));
    EXPECT_GE(window->height(), closedHeight + 250);
    // No notes address in this build: the notes say they could not be loaded.
    EXPECT_EQ(controller->releaseNotesView()->toPlainText().toStdString(),
              updaterString("Updater_1.0_ImpossibleToDownloadRN"));
    controller->laterButton()->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(controller->releaseNotesView()->isVisibleTo(window));
    EXPECT_EQ(window->height(), closedHeight);
    EXPECT_FALSE(updater->downloadRunning());
}

TEST_F(UpdaterHttp, DownloadsVerifiesAndInstalls) {
    PrivateBus privateBus;
    ASSERT_TRUE(privateBus.ok());
    auto [publicKey, secretKey] = generateUpdateKeyPair();
    TempDir work;
    std::string archive = work / "binwarden2-2.1.tar.gz";
    writeArchive(archive, installTreeEntries("2.1"));
    signArchive(archive, secretKey);
    QFile archiveFile(QString::fromStdString(archive)), signatureFile(QString::fromStdString(archive + ".sig"));
    ASSERT_TRUE(archiveFile.open(QIODevice::ReadOnly) && signatureFile.open(QIODevice::ReadOnly));
    QByteArray archiveBytes = archiveFile.readAll(), signatureBytes = signatureFile.readAll();
    QByteArray tampered = archiveBytes;
    tampered[tampered.size() / 2] = static_cast<char>(tampered[tampered.size() / 2] ^ 0x20);

    enum Kind { Good, Tampered, Unsigned, PackageCopy };
    struct Case {
        const char* name;
        Kind kind;
        bool installed;
    } cases[] = {
        {"signed archive", Good, true},
        {"tampered archive", Tampered, false},
        {"missing signature", Unsigned, false},
        {"copy owned by a package", PackageCopy, false},
    };
    NotificationBus listener;
    int quitAnnouncements = 0;
    listener.observe(notif::kQuitEverybody, [&](const Notification&) { ++quitAnnouncements; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        quitAnnouncements = 0;
        TempDir place;
        std::string root = place / "binwarden2";
        makeDirs(root + "/bin");
        writeFile(root + "/bin/binwarden2-menu", "old");
        chownTree(root, c.kind == PackageCopy ? getuid() : treeOwner());
        server.setRoute("/update.php",
                        {compressed("2.1;50000;https://www.example.org/bw2;" + server.url("/binwarden2-2.1.tar.gz"))});
        server.setRoute("/binwarden2-2.1.tar.gz", {c.kind == Tampered ? tampered : archiveBytes});
        server.setRoute("/binwarden2-2.1.tar.gz.sig", {signatureBytes, c.kind == Unsigned ? 404 : 200});
        Recorded recorded;
        auto updater = makeUpdater(recorded);
        updater->setInstallationPath(root);
        updater->setInstallTreeOwner(c.kind == PackageCopy ? 0 : treeOwner());
        updater->setTrustedKey(publicKey);
        bool finished = false, installed = false;
        QObject::connect(updater.get(), &PXUpdater::updateFinished, [&](bool ok, const QString&) {
            finished = true;
            installed = ok;
        });
        ASSERT_TRUE(check(*updater));
        ASSERT_TRUE(offerShown(*updater));
        PXUpdaterController* controller = updater->windowController();
        std::string expectedButton =
            c.kind == PackageCopy ? "Updater_1.0_Open page button" : "Updater_1.0_Install button";
        EXPECT_EQ(controller->installButton()->text().toStdString(), updaterString(expectedButton));
        controller->installButton()->click();
        std::string download = home / "Downloads/binwarden2-2.1.tar.gz";
        if (c.kind == PackageCopy) {
            waitFor([] { return false; }, 200);
            EXPECT_FALSE(updater->downloadRunning());
            EXPECT_EQ(recorded.openedURLs, std::vector<std::string>{"https://www.example.org/bw2"});
            EXPECT_FALSE(exists(download));
            EXPECT_EQ(readFile(root + "/bin/binwarden2-menu"), "old");
            continue;
        }
        EXPECT_TRUE(controller->updatePanel()->isVisible());
        ASSERT_TRUE(waitFor([&] { return finished; }, 20000, &listener));
        waitFor([&] { return quitAnnouncements > 0; }, c.installed ? 3000 : 200, &listener);
        EXPECT_EQ(installed, c.installed);
        EXPECT_FALSE(controller->updatePanel()->isVisible());
        EXPECT_FALSE(exists(download));
        EXPECT_FALSE(exists(download + ".sig"));
        EXPECT_EQ(updater->downloadPath(), download);
        if (c.installed) {
            EXPECT_EQ(readFile(root + "/bin/binwarden2-menu"), "#!/bin/sh\necho menu 2.1\n");
            EXPECT_EQ(recorded.relaunched, std::vector<std::string>{root});
            EXPECT_EQ(recorded.alertTitles,
                      std::vector<std::string>{updaterString("Updater_1.0_Install Finish Title")});
            EXPECT_EQ(quitAnnouncements, 1);
            fs::remove_all(home / ".local/share/Trash");
        } else {
            EXPECT_EQ(readFile(root + "/bin/binwarden2-menu"), "old");
            EXPECT_TRUE(recorded.relaunched.empty());
            EXPECT_EQ(recorded.alertTitles,
                      std::vector<std::string>{updaterString("Updater_1.0_Download Error Title")});
            EXPECT_EQ(quitAnnouncements, 0);
        }
    }
}

TEST_F(UpdaterHttp, CancelDeletesThePartialDownload) {
    TempDir place;
    std::string root = place / "binwarden2";
    makeDirs(root + "/bin");
    chownTree(root, treeOwner());
    QByteArray big(4 * 1000 * 1000, 'z');
    server.setRoute("/update.php", {compressed("2.1;50000;https://www.example.org/bw2;" + server.url("/big.tar.gz"))});
    server.setRoute("/big.tar.gz", {big, 200, 1000 * 1000});
    Recorded recorded;
    auto updater = makeUpdater(recorded);
    updater->setInstallationPath(root);
    updater->setInstallTreeOwner(treeOwner());
    QString endMessage;
    bool finished = false;
    QObject::connect(updater.get(), &PXUpdater::updateFinished, [&](bool, const QString& message) {
        finished = true;
        endMessage = message;
    });
    ASSERT_TRUE(check(*updater));
    ASSERT_TRUE(offerShown(*updater));
    PXUpdaterController* controller = updater->windowController();
    controller->installButton()->click();
    std::string download = home / "Downloads/big.tar.gz";
    ASSERT_TRUE(waitFor([&] {
        struct stat st {};
        return stat(download.c_str(), &st) == 0 && st.st_size == 1000 * 1000;
    }));
    EXPECT_TRUE(controller->cancelButton()->isEnabled());
    // The amount shown is what had arrived before the last piece.
    EXPECT_TRUE(controller->progresssTF()->text().endsWith(" MB of 4.0 MB"))
        << controller->progresssTF()->text().toStdString();
    EXPECT_EQ(controller->statusTF()->text().toStdString(), updaterString("Updater_1.0_Status Downloading"));
    controller->cancelButton()->click();
    EXPECT_TRUE(finished);
    EXPECT_EQ(endMessage.toStdString(), "cancelled");
    EXPECT_FALSE(exists(download));
    EXPECT_FALSE(controller->updatePanel()->isVisible());
    EXPECT_FALSE(updater->downloadRunning());
}
