// Pictures of the Recovery tab for the documentation (not a test): the list narrowed by a search, a
// cached folder opened with its bar, and the preview window. It fills a scratch home's cache:
//   recovery_screenshot OUTPUT_FOLDER      (run under a display, e.g. xvfb-run; HOME must be a scratch folder)

#include "AppContext.h"
#include "MainController.h"
#include "PXPreviewWindow.h"
#include "RecoveryController.h"
#include "RecoveryTableModel.h"
#include "RecoveryTableView.h"
#include "app_version.h"
#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "desktop_session.h"
#include "recovery_list.h"
#include "plist/reference_time.h"
#include "tab_button.h"

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QMainWindow>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string name;
    double age; // seconds before now
    std::string content;
    bool folder = false;
    std::optional<std::string> original{};
};

// One batch folder holding the entries and its index; answers the stored names.
std::vector<std::string> batch(const std::string& cache, const std::string& name, double now,
                               const std::vector<Entry>& entries) {
    const std::string folder = cache + "/" + name;
    fs::create_directories(folder);
    bw::BWIndexTable table;
    std::vector<std::string> stored;
    std::uint64_t size = 0;
    for (const Entry& entry : entries) {
        const std::string storedName = bw::newStoredItemName();
        if (entry.folder)
            fs::create_directories(folder + "/" + storedName);
        else
            std::ofstream(folder + "/" + storedName) << entry.content;
        size += entry.content.size();
        table[storedName] = bw::BWCacheIndexEntry{entry.name, now - entry.age, entry.original};
        stored.push_back(storedName);
    }
    bw::BWCacheIndex index;
    index.setIndexTable(table);
    index.setCacheSize(size);
    index.setCacheCreationTime(now - 7200);
    index.setCacheLastAdditionTime(now - 600);
    bw::writeCacheIndex(index, folder, static_cast<uid_t>(-1), static_cast<gid_t>(-1));
    return stored;
}

void file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << content;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: recovery_screenshot OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string home = bw::homeFolder();
    if (home.rfind("/tmp/", 0) != 0) {
        std::fprintf(stderr, "recovery_screenshot: HOME must be a scratch folder under /tmp\n");
        return 2;
    }
    QApplication app(argc, argv);
    const QString output = QString::fromLocal8Bit(argv[1]);
    const double now = bw::timeIntervalSinceReferenceDate();
    const std::string cache = bw::homeCacheFolder(home);

    QImage picture(640, 420, QImage::Format_RGB32);
    {
        QPainter painter(&picture);
        QLinearGradient sky(0, 0, 0, 420);
        sky.setColorAt(0, QColor(70, 130, 200));
        sky.setColorAt(1, QColor(240, 200, 140));
        painter.fillRect(picture.rect(), sky);
        painter.setBrush(QColor(60, 110, 60));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPoint(200, 520), 360, 220);
        painter.setBrush(QColor(255, 240, 180));
        painter.drawEllipse(QPoint(500, 110), 45, 45);
    }
    std::vector<std::string> stored =
        batch(cache, "2026-12-07 09_12 +0000", now,
              {{"Holiday report.odt", 1800, std::string(48213, 'x'), false, home + "/Documents/Reports/Holiday report.odt"},
               {"Projects", 2400, "", true, home + "/Work/Projects"},
               {"beach.png", 2700, "", false, home + "/Pictures/beach.png"},
               {"Quarterly report draft.txt", 3000, "Quarterly report\n\nSales rose in every region.\n", false,
                home + "/Documents/Quarterly report draft.txt"},
               {"Annual report 2025 (final, approved by the board).pdf", 3300, std::string(2519871, 'p'), false,
                home + "/Documents/Annual report 2025 (final, approved by the board).pdf"},
               {"notes.md", 3600, "# Notes\n", false},
               {"Report template.ott", 4000, std::string(18000, 't'), false, home + "/Templates/Report template.ott"}});
    picture.save(QString::fromStdString(cache + "/2026-12-07 09_12 +0000/" + stored[2]), "PNG");
    const std::string projects = cache + "/2026-12-07 09_12 +0000/" + stored[1];
    file(projects + "/src/main.c", "int main(void) { return 0; }\n");
    file(projects + "/src/util.c", "/* util */\n");
    file(projects + "/docs/guide.md", "# Guide\n");
    file(projects + "/Makefile", "all:\n");
    file(projects + "/README", "Projects\n");

    bw::NotificationBus bus;
    bw::AppServices services = bw::AppServices::system();
    services.mountedVolumes = [] { return std::vector<std::string>{"/"}; };
    services.volumeChecks.qualifies = [](const std::string&) { return true; };
    services.processInfo = [](const std::string& name) -> std::optional<std::vector<bw::ProcessRecord>> {
        return std::vector<bw::ProcessRecord>{{name, getuid(), 100}};
    };
    services.launch = [](const std::string&, const std::vector<std::string>&, std::string*) { return true; };
    bw::AppContext context{
        bus, bw::DefaultsStore(), bw::AccessKeychain(), services, getuid(), home, home + "/.local/share/Binwarden 2"};
    context.store.registerDefaults();
    context.store.setInteger(bw::kFirstLaunchKey, bw::APPVersion());

    bw::MainController controller(context);
    controller.awakeFromNib();
    controller.window()->show();
    controller.tabButton(2)->click();
    controller.window()->resize(680, 520);
    bw::RecoveryController* tab = controller.recoveryController();

    auto save = [&](QWidget* widget, const char* name) {
        QPixmap shot = widget->grab();
        QString path = output + "/" + name;
        std::fprintf(stderr, "recovery_screenshot: %s %s\n", shot.save(path) ? "saved" : "could not save",
                     path.toLocal8Bit().constData());
    };
    auto rowOf = [&](const QString& name) {
        for (int row = 0; row < tab->model()->rowCount(); ++row)
            if (tab->model()->index(row, 0).data().toString() == name)
                return row;
        return -1;
    };
    static int step = 0;
    QTimer timer;
    timer.setInterval(1200);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        switch (step++) {
        case 0:
            tab->searchTF()->setText("report");
            tab->itemTable()->selectRow(0);
            break;
        case 1:
            save(controller.window(), "app-recovery-search.png");
            tab->destroySearch();
            tab->tableviewDoubleClick(rowOf("Projects"));
            tab->tableviewDoubleClick(rowOf("src"));
            tab->itemTable()->selectRow(0);
            break;
        case 2:
            save(controller.window(), "app-recovery-folder.png");
            tab->loadGUI();
            tab->itemTable()->selectRow(rowOf("beach.png"));
            tab->togglePreview();
            break;
        case 3:
            save(tab->previewPanel(), "app-recovery-preview.png");
            QApplication::exit(0);
            break;
        }
    });
    timer.start();
    return QApplication::exec();
}
