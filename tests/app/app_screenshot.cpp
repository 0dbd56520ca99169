// Pictures of the main window's Information, Settings and Advanced tabs for the documentation (not a
// test). It fills a scratch home with a cache of about 1.3 GB (sparse files: their sizes count, nothing is
// written), two extra volumes and a few filters, and shows protection as running:
//   app_screenshot OUTPUT_FOLDER      (run under a display, e.g. xvfb-run; HOME must be a scratch folder)

#include "AppContext.h"
#include "Binwarden_2AppDelegate.h"
#include "InfosController.h"
#include "MainController.h"
#include "app_version.h"
#include "desktop_session.h"
#include "tab_button.h"

#include <QApplication>
#include <QMainWindow>
#include <QPixmap>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

void sparseFile(const std::string& path, off_t size) {
    fs::create_directories(fs::path(path).parent_path());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (ftruncate(fd, size) != 0)
            std::perror(path.c_str());
        close(fd);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: app_screenshot OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string home = bw::homeFolder();
    if (home.rfind("/tmp/", 0) != 0) {
        std::fprintf(stderr, "app_screenshot: HOME must be a scratch folder under /tmp\n");
        return 2;
    }
    QApplication app(argc, argv);
    const QString output = QString::fromLocal8Bit(argv[1]);

    sparseFile(home + "/.Binwarden2Cache/2026-12-05 17_42 +0100/6F1C0D2E-8B51-4C7A-9D0A-2E51C1B0A001", 734003200);
    sparseFile(home + "/.Binwarden2Cache/2026-12-06 09_05 +0100/1B7E4F36-0C2D-4F8B-A4F9-58D3E9C2B002", 412316860);
    const std::string photos = home + "/media/Photos", projects = home + "/media/Projects";
    sparseFile(projects + "/.Binwarden2Cache/" + std::to_string(getuid()) + "/2026-12-06 10_12 +0100/item", 187904819);
    fs::create_directories(photos);

    bw::Settings settings = bw::Settings::defaults();
    settings.volumes = {{"/", true}, {projects, true}};
    bw::NotificationBus bus;
    bw::AppServices services = bw::AppServices::system();
    services.mountedVolumes = [&] { return std::vector<std::string>{"/", photos, projects}; };
    services.volumeChecks.qualifies = [](const std::string&) { return true; };
    // Protection shown as running: one daemon per protected trash and the agent.
    services.processInfo = [](const std::string& name) -> std::optional<std::vector<bw::ProcessRecord>> {
        if (name == bw::kAgentProcess)
            return std::vector<bw::ProcessRecord>{{name, getuid(), 100}};
        if (name == bw::kDaemonProcess)
            return std::vector<bw::ProcessRecord>{{name, getuid(), 101}, {name, getuid(), 102}};
        return std::nullopt;
    };
    services.launch = [](const std::string&, const std::vector<std::string>&, std::string*) { return true; };
    bw::AppContext context{
        bus, bw::DefaultsStore(), bw::AccessKeychain(), services, getuid(), home, home + "/.local/share/Binwarden 2"};
    context.store.registerDefaults();
    context.store.storeSettings(settings, {{2, "tmp"}, {1, "~lock"}, {2, "part"}});
    context.store.setInteger(bw::kFirstLaunchKey, bw::APPVersion());

    bw::Binwarden_2AppDelegate delegate(context);
    bw::MainController controller(context);
    controller.awakeFromNib();
    delegate.setWindow(controller.window());
    delegate.applicationDidFinishLaunching();

    struct Shot {
        int tag;
        const char* file;
    };
    static const Shot shots[] = {{0, "app-information.png"}, {1, "app-settings.png"}, {3, "app-advanced.png"}};
    static int next = 0;
    QTimer timer;
    timer.setInterval(1500);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (next > 0) {
            QPixmap shot = controller.window()->grab();
            QString path = output + "/" + shots[next - 1].file;
            std::fprintf(stderr, "app_screenshot: %s %s\n", shot.save(path) ? "saved" : "could not save",
                         path.toLocal8Bit().constData());
        }
        if (next == 3) {
            QApplication::exit(0);
            return;
        }
        controller.tabButton(shots[next].tag)->click();
        if (shots[next].tag != 0)
            controller.window()->resize(controller.window()->size().expandedTo(QSize(620, 560)));
        ++next;
    });
    timer.start();
    return QApplication::exec();
}
