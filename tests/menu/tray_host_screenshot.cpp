// A picture of the agent's tray menu as a StatusNotifier panel shows it. This program is the panel: it
// takes the watcher's name on the session bus, starts the agent, reads the agent's exported menu and
// icon over D-Bus, and draws them as a panel does (a strip with the icon and the menu below it):
//   tray_host_screenshot AGENT OUTPUT.png [--left-click]
// (under xvfb-run and dbus-run-session; HOME a scratch folder). With --left-click the panel activates the
// item instead of opening its menu, and the picture shows whatever the agent itself puts up.

#include "status_notifier_host.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

// dbusmenu marks a mnemonic with "_" and writes "__" for a plain one; QMenu uses "&".
QString menuText(const QString& label) {
    QString text;
    for (int i = 0; i < label.size(); ++i) {
        if (label[i] == '_' && i + 1 < label.size() && label[i + 1] == '_') {
            text += '_';
            ++i;
        } else if (label[i] == '_') {
            text += '&';
        } else if (label[i] == '&') {
            text += "&&";
        } else {
            text += label[i];
        }
    }
    return text;
}

bool waitFor(const std::function<bool()>& condition, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    return condition();
}

} // namespace

int main(int argc, char** argv) {
    bool leftClick = argc == 4 && QString(argv[3]) == "--left-click";
    if (argc != 3 && !leftClick) {
        std::fprintf(stderr, "usage: tray_host_screenshot AGENT OUTPUT.png [--left-click]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QDBusConnection session = QDBusConnection::sessionBus();
    bw::test::StatusNotifierWatcher watcher(session);
    if (!watcher.start()) {
        std::fprintf(stderr, "tray_host_screenshot: no session bus, or a watcher runs already\n");
        return 1;
    }
    watcher.registerHost();

    QProcess agent;
    agent.setProcessChannelMode(QProcess::ForwardedChannels);
    agent.start(QString::fromLocal8Bit(argv[1]), {});
    auto finish = [&agent](int status) {
        agent.terminate();
        if (!agent.waitForFinished(3000))
            agent.kill();
        return status;
    };
    if (!waitFor([&] { return !watcher.registeredItems().isEmpty(); }, 15000)) {
        std::fprintf(stderr, "tray_host_screenshot: the agent's item did not register\n");
        return finish(1);
    }
    QString item = watcher.registeredItems().first();
    QList<bw::test::ExportedMenuEntry> entries;
    // The information block comes with the first refresh, its size once measured.
    waitFor(
        [&] {
            auto menu = bw::test::readExportedMenu(session, item);
            if (menu)
                entries = *menu;
            return !entries.isEmpty() && entries.last().label.startsWith("Protected disks") &&
                   entries[entries.size() - 2].label.contains(' ');
        },
        15000);
    QImage icon = bw::test::readItemIcon(session, item);

    QScreen* screen = QGuiApplication::primaryScreen();
    const int barHeight = 30;
    QWidget bar;
    bar.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    bar.setStyleSheet("background: #2b2f36;");
    auto* layout = new QHBoxLayout(&bar);
    layout->setContentsMargins(8, 3, 12, 3);
    layout->addStretch();
    auto* clock = new QLabel("09:05");
    clock->setStyleSheet("color: #e6e6e6;");
    auto* iconLabel = new QLabel();
    iconLabel->setPixmap(QPixmap::fromImage(icon).scaled(22, 22, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    layout->addWidget(iconLabel);
    layout->addSpacing(14);
    layout->addWidget(clock);
    bar.setGeometry(0, 0, screen->geometry().width(), barHeight);
    bar.show();

    QMenu menu;
    for (const auto& entry : entries) {
        if (!entry.visible || entry.depth != 0)
            continue;
        if (entry.separator) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(menuText(entry.label));
        action->setEnabled(entry.enabled);
    }
    QPoint under = iconLabel->mapToGlobal(QPoint(0, iconLabel->height() + 6));
    int x = std::max(0, under.x() - menu.sizeHint().width() + 40);
    if (leftClick) {
        QDBusMessage activate = QDBusMessage::createMethodCall(bw::test::itemService(item), bw::test::itemPath(item),
                                                               "org.kde.StatusNotifierItem", "Activate");
        activate << under.x() << barHeight;
        session.call(activate, QDBus::NoBlock);
    } else {
        menu.popup(QPoint(x, barHeight + 2));
    }

    QString output = QString::fromLocal8Bit(argv[2]);
    int status = 1;
    QTimer::singleShot(1500, [&] {
        QRect menuArea = menu.geometry();
        QRect area = leftClick ? screen->geometry()
                               : QRect(menuArea.left() - 30, 0, screen->geometry().width() - menuArea.left() + 30,
                                       menuArea.bottom() + 30);
        QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        status = shot.save(output) ? 0 : 1;
        std::fprintf(stderr, "tray_host_screenshot: %s %s\n", status == 0 ? "saved" : "could not save", argv[2]);
        QApplication::exit(status);
    });
    QApplication::exec();
    return finish(status);
}
