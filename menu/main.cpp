// binwarden2-menu: the tray agent of one user.

#include "Binwarden_2_MenuAppDelegate.h"
#include "MainController.h"

#include <QApplication>

#include <syslog.h>

int main(int argc, char** argv) {
    openlog("binwarden2-menu", LOG_PID, LOG_USER);
    QApplication app(argc, argv);
    QApplication::setApplicationName("binwarden2-menu");
    QApplication::setQuitOnLastWindowClosed(false);

    bw::Binwarden_2_MenuAppDelegate delegate;
    bw::MainController controller(&delegate);
    delegate.setMainController(&controller);
    if (!controller.awakeFromNib())
        return 0;
    return QApplication::exec();
}
