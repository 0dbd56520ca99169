// Pictures of the updater's two windows for the documentation (not a test): the offer with its release
// notes open, and the progress panel part-way through a download. See docs/screenshots/README.md.

#include "PXUpdater.h"
#include "PXUpdaterController.h"
#include "loopback_server.h"
#include "updater_strings.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTextBrowser>
#include <QToolButton>

#include <cstdio>

namespace {

void pump(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

const char kNotes[] = R"(<html><body>
<h3>Binwarden 2.1</h3>
<ul>
<li>Recover items straight to the folder they were thrown away from.</li>
<li>The status menu shows the size of every protected disk's cache.</li>
<li>Updates are signed: only archives signed by the makers are ever installed.</li>
<li>Faster pruning of large caches.</li>
</ul>
<h3>Fixes</h3>
<ul>
<li>Items with very long names are kept again.</li>
<li>The settings window remembers its size.</li>
</ul>
</body></html>)";

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: updater_screenshot OFFER.png PROGRESS.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    bw::test::LoopbackServer server;
    server.setRoute("/notes.html", {kNotes});
    bw::PXUpdater updater;
    updater.setLocalVersion("2.0.0");
    updater.setReleaseNotesURL(server.url("/notes.html"));
    bw::PXUpdaterController controller(&updater);
    bw::UpdateInfos infos{"2.1", "50000", "https://www.example.org/binwarden2",
                          "https://www.example.org/binwarden2-2.1.tar.gz"};
    controller.showAskUpdate(infos, true);
    pump(500);
    controller.disclosureButton()->click();
    pump(800);
    if (!controller.updateWaningWin()->grab().save(QString::fromLocal8Bit(argv[1])))
        return 1;
    controller.updateWaningWin()->hide();

    controller.showProgress();
    controller.setStatus(QString::fromStdString(bw::updaterString("Updater_1.0_Status Downloading")));
    controller.setProgressBarIndeterminate(false, 0, 48.2e6, 0);
    controller.setDownloadStartTime(12);
    controller.incrementProgressBarValue(19.6e6);
    controller.incrementProgressBarValue(0.1e6);
    pump(500);
    if (!controller.updatePanel()->grab().save(QString::fromLocal8Bit(argv[2])))
        return 1;
    return 0;
}
