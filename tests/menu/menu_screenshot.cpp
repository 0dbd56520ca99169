// Draws the tray menu on its own (no tray host needed) and saves a picture of the screen:
//   menu_screenshot OUTPUT.png      (run under a display, e.g. xvfb-run; HOME should be a scratch folder)

#include "Binwarden_2_MenuAppDelegate.h"
#include "MainController.h"

#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: menu_screenshot OUTPUT.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    bw::Binwarden_2_MenuAppDelegate delegate;
    bw::MainController controller(&delegate);
    delegate.setMainController(&controller);
    if (!controller.awakeFromNib())
        return 1;
    controller.menuDisplay();
    QString output = QString::fromLocal8Bit(argv[1]);
    controller.menuBarMenu()->popup(QPoint(40, 30));
    QTimer::singleShot(1500, [&] {
        QMenu* menu = controller.menuBarMenu();
        QRect area = menu->geometry().adjusted(-40, -30, 40, 30);
        QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        bool saved = shot.save(output);
        std::fprintf(stderr, "menu_screenshot: %s %s\n", saved ? "saved" : "could not save", argv[1]);
        QApplication::exit(saved ? 0 : 1);
    });
    return QApplication::exec();
}
