// bw2ctl update: asks the update script for the newest version, and installs it into this install tree.

#include "PXUpdater.h"
#include "command.h"
#include "desktop_session.h"
#include "updater_strings.h"

#include <QCoreApplication>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

namespace bw::cli {

namespace {

constexpr char kUsage[] = "usage: bw2ctl update check [--script URL]\n"
                          "       bw2ctl update install [--script URL] [--yes]\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// One Qt application for the command's lifetime: the updater's requests run on its event loop.
QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "bw2ctl";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    return app ? *app : *QCoreApplication::instance();
}

void configure(PXUpdater& updater, const std::string& script) {
    updater.setProductReference("BW2");
    updater.setScriptURL(script);
    updater.setCanWarnUser(false);
    updater.setManualUpdate(false);
    updater.setLogFlag(false);
    // A look from the command line announces nothing to the running programs.
    updater.setCanPostNotification(false);
    updater.setAlertPresenter([](const QString& title, const QString& message, const QString&) {
        // The command says itself what it installed; nothing is started from here.
        if (title.toStdString() == updaterString("Updater_1.0_Install Finish Title"))
            return;
        std::fprintf(stderr, "%s: %s\n", title.toUtf8().constData(), message.toUtf8().constData());
    });
    updater.setURLOpener([](const std::string& url) { std::fprintf(stderr, "The download page: %s\n", url.c_str()); });
    updater.setRelauncher([](const std::string&) {});
}

// Runs the loop until the finishing signal's handler ends it, or at once when `start` left nothing
// running.
void runUntilFinished(QCoreApplication& app, const std::function<void()>& start, const std::function<bool()>& running) {
    QTimer::singleShot(0, &app, [&] {
        start();
        if (!running())
            app.exit(0);
    });
    app.exec();
}

// Runs one check; false when the script gave no usable answer.
bool runCheck(PXUpdater& updater) {
    bool answered = false;
    QCoreApplication& app = application();
    QObject::connect(&updater, &PXUpdater::checkFinished, &app, [&](bool ok) {
        answered = ok;
        app.exit(0);
    });
    runUntilFinished(
        app, [&] { updater.checkVersionAsynchronous(); }, [&] { return updater.checkRunning(); });
    return answered && updater.updateInfos();
}

void printInfos(const PXUpdater& updater, const UpdateInfos& infos, long system) {
    std::printf("newest version: %s\n", infos.currentVersion.c_str());
    std::printf("running version: %s\n", updater.localVersion().c_str());
    std::printf("minimum system: %s (this system: %ld)\n", infos.osMini.c_str(), system);
    std::printf("product page: %s\n", infos.productURL.c_str());
    std::printf("archive: %s\n", infos.fileURL.c_str());
    std::printf("newer: %s\n", updater.newerVersionAvailable(infos.currentVersion) ? "yes" : "no");
}

bool systemSupports(const UpdateInfos& infos, long system) {
    return std::strtol(infos.osMini.c_str(), nullptr, 10) <= system;
}

int install(PXUpdater& updater, const UpdateInfos& infos, bool yes) {
    long system = OSXVersion();
    if (!updater.newerVersionAvailable(infos.currentVersion)) {
        std::printf("Binwarden 2 %s is up to date\n", updater.localVersion().c_str());
        return 0;
    }
    if (!systemSupports(infos, system)) {
        std::fprintf(stderr, "bw2ctl update: version %s needs system %s or later (this one is %ld)\n",
                     infos.currentVersion.c_str(), infos.osMini.c_str(), system);
        return 1;
    }
    std::string root = updater.installationPath();
    if (updater.installTreeState() != InstallTreeState::Replaceable) {
        std::fprintf(stderr, "bw2ctl update: %s does not belong to you; update it with its package (%s)\n",
                     root.c_str(), infos.productURL.c_str());
        return 1;
    }
    if (!yes) {
        std::printf("Install Binwarden 2 %s into %s? [y/N] ", infos.currentVersion.c_str(), root.c_str());
        std::fflush(stdout);
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            std::printf("nothing installed\n");
            return 0;
        }
    }
    bool installed = false;
    QString message;
    QCoreApplication& app = application();
    qint64 shownMB = -1;
    QObject::connect(&updater, &PXUpdater::downloadProgressed, &app, [&](qint64 received, qint64 total) {
        if (received / 1'000'000 == shownMB || !isatty(STDERR_FILENO))
            return;
        shownMB = received / 1'000'000;
        if (total > 0)
            std::fprintf(stderr, "\rdownloading: %.1f of %.1f MB", received / 1e6, total / 1e6);
        else
            std::fprintf(stderr, "\rdownloading: %.1f MB", received / 1e6);
    });
    QObject::connect(&updater, &PXUpdater::updateFinished, &app, [&](bool ok, const QString& why) {
        installed = ok;
        message = why;
        app.exit(0);
    });
    runUntilFinished(
        app, [&] { updater.startDownload(); }, [&] { return updater.downloadRunning(); });
    if (shownMB >= 0)
        std::fputs("\n", stderr);
    if (!installed) {
        std::fprintf(stderr, "bw2ctl update: nothing installed: %s\n",
                     message.isEmpty() ? "the download did not start" : message.toUtf8().constData());
        return 1;
    }
    std::printf("Binwarden 2 %s is installed in %s; the previous version is in the Trash. Start Binwarden 2 Menu "
                "again to use it.\n",
                infos.currentVersion.c_str(), root.c_str());
    return 0;
}

int update(const std::vector<std::string>& args) {
    if (args.empty() || (args[0] != "check" && args[0] != "install"))
        return usage();
    std::string script;
    bool yes = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--script" && i + 1 < args.size())
            script = args[++i];
        else if (args[i] == "--yes" && args[0] == "install")
            yes = true;
        else
            return usage();
    }
    if (args[0] == "install" && !yes && !isatty(STDIN_FILENO)) {
        std::fputs("bw2ctl update: add --yes to install without a terminal to ask on\n", stderr);
        return 2;
    }
    if (script.empty() && builtInUpdateScriptURL().empty()) {
        std::fputs("bw2ctl update: this build has no update script address; give one with --script\n", stderr);
        return 2;
    }
    if (!script.empty() && !isAllowedFetchURL(script)) {
        std::fputs("bw2ctl update: the script address must be https (or http to 127.0.0.1)\n", stderr);
        return 2;
    }
    application();
    PXUpdater updater;
    configure(updater, script);
    if (!runCheck(updater)) {
        std::fputs("bw2ctl update: the update script gave no usable answer\n", stderr);
        return 1;
    }
    UpdateInfos infos = *updater.updateInfos();
    if (args[0] == "check") {
        printInfos(updater, infos, OSXVersion());
        return 0;
    }
    return install(updater, infos, yes);
}

} // namespace

BW2CTL_COMMAND("update", "check for a newer version, or install it into this install tree", update);

} // namespace bw::cli
