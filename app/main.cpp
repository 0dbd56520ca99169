// binwarden2: the main application's window.

#include "AppContext.h"
#include "Binwarden_2AppDelegate.h"
#include "MainController.h"
#include "bus_event_bridge.h"
#include "desktop_session.h"

#include <QApplication>
#include <QMainWindow>

#include <syslog.h>
#include <unistd.h>

int main(int argc, char** argv) {
    openlog("binwarden2", LOG_PID, LOG_USER);
    QApplication app(argc, argv);
    QApplication::setApplicationName("binwarden2");
    QApplication::setApplicationDisplayName("Binwarden 2");
    QGuiApplication::setDesktopFileName("binwarden2");

    bw::NotificationBus bus;
    bw::AppContext context{bus,
                           bw::DefaultsStore(),
                           bw::AccessKeychain(),
                           bw::AppServices::system(),
                           getuid(),
                           bw::homeFolder(),
                           bw::xdgDataHome() + "/Binwarden 2"};
    bw::Binwarden_2AppDelegate delegate(context);
    bw::MainController controller(context);
    controller.awakeFromNib();
    bw::BusEventBridge bridge(bus);
    delegate.setWindow(controller.window());
    delegate.applicationDidFinishLaunching();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationShouldTerminate(); });
    // The quit that ends an uninstall leaves the agent stopped.
    QObject::connect(&controller, &bw::MainController::uninstallDidEnd, &delegate, [&delegate] {
        delegate.setSkipAgentCheck(true);
        QCoreApplication::quit();
    });
    return QApplication::exec();
}
