// The Recovery tab on a cache the real bw2daemon wrote: what a new user does after emptying the trash —
// find the items by searching, recover one into a folder, restore one to its place, delete one.

#include "RecoveryController.h"
#include "RecoveryTableModel.h"
#include "RecoveryTableView.h"
#include "app_test_support.h"
#include "daemon_e2e_fixture.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace bw::test {

namespace {

constexpr int kMoveMode = 1;

class RecoveryTabDaemon : public DaemonE2E {
protected:
    std::vector<std::string> shownNames() const {
        std::vector<std::string> names;
        for (int row = 0; row < tab->model()->rowCount(); ++row)
            names.push_back(tab->model()->index(row, 0).data().toString().toStdString());
        std::sort(names.begin(), names.end());
        return names;
    }
    int rowOf(const std::string& name) const {
        for (int row = 0; row < tab->model()->rowCount(); ++row)
            if (tab->model()->index(row, 0).data().toString().toStdString() == name)
                return row;
        return -1;
    }
    void selectOnly(const std::string& name) {
        tab->itemTable()->clearSelection();
        tab->itemTable()->selectRow(rowOf(name));
    }
    bool idle() { return pumpUntil([this] { return !tab->isBusy(); }, 20000); }

    std::unique_ptr<NotificationBus> appBus;
    std::unique_ptr<AppContext> context;
    std::unique_ptr<QWidget> window;
    std::unique_ptr<RecoveryController> tab;
};

} // namespace

TEST_F(RecoveryTabDaemon, FindRecoverRestoreAndDeleteWhatTheDaemonKept) {
    application();
    const std::string docs = home + "/Documents";
    for (const char* name : {"École notes.txt", "ecole budget.ods", "holiday.png"}) {
        writeFile(trash + name, std::string("content of ") + name);
        writeFile(info + name + ".trashinfo", "[Trash Info]\nPath=" + docs + "/" + name +
                                                  "\nDeletionDate=2026-12-06T09:05:00\n");
    }
    makeDirs(trash + "Projects/src");
    writeFile(trash + "Projects/src/main.c", "int main;\n");
    DaemonProcess daemon = startAndWait(kMoveMode);
    ASSERT_TRUE(eventually([&] { return entries().size() == 4 && trashCount() == 0; }, 20)) << log();
    quit(daemon);

    appBus = std::make_unique<NotificationBus>();
    AppServices services;
    services.mountedVolumes = [] { return std::vector<std::string>{"/"}; };
    context.reset(new AppContext{*appBus, DefaultsStore(config + "/prefs.plist"), AccessKeychain("bw2tabdaemon"),
                                 std::move(services), getuid(), home, data + "/Binwarden 2"});
    window = std::make_unique<QWidget>();
    tab = std::make_unique<RecoveryController>(*context, window.get());
    tab->loadGUI();
    ASSERT_EQ(shownNames(),
              (std::vector<std::string>{"Projects", "ecole budget.ods", "holiday.png", "École notes.txt"}));

    struct Step {
        const char* typed;
        std::vector<std::string> shown;
    } steps[] = {{"E", {"Projects", "ecole budget.ods", "École notes.txt"}},
                 {"eco", {"ecole budget.ods", "École notes.txt"}},
                 {"école n", {"École notes.txt"}},
                 {"eco", {"ecole budget.ods", "École notes.txt"}},
                 {"", {"Projects", "ecole budget.ods", "holiday.png", "École notes.txt"}}};
    for (const Step& step : steps) {
        tab->searchTF()->setText(QString::fromUtf8(step.typed));
        EXPECT_EQ(shownNames(), step.shown) << step.typed;
    }

    // Recover one into a folder.
    const std::string chosen = home + "/Recovered";
    makeDirs(chosen);
    selectOnly("holiday.png");
    tab->recoverInto(tab->itemTable()->selectedItems(), chosen);
    ASSERT_TRUE(idle());
    EXPECT_EQ(readFile(chosen + "/holiday.png"), "content of holiday.png");

    // Restore one to its original place (the folder it came from is gone and made again).
    selectOnly("École notes.txt");
    ASSERT_TRUE(tab->restoreButton()->isEnabled());
    tab->restoreButton()->click();
    ASSERT_TRUE(idle());
    EXPECT_EQ(readFile(docs + "/École notes.txt"), "content of École notes.txt");

    // Delete one, answering the alert.
    selectOnly("ecole budget.ods");
    QTimer::singleShot(50, [] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                for (QAbstractButton* button : box->buttons())
                    if (button->text() == "Delete")
                        button->click();
    });
    tab->emptySelectionButton()->click();
    ASSERT_TRUE(idle());
    EXPECT_EQ(shownNames(), (std::vector<std::string>{"Projects", "holiday.png", "École notes.txt"}));
    EXPECT_EQ(entries().size(), 3u);
    EXPECT_TRUE(tab->lastErrors().empty());
    tab.reset();
}

} // namespace bw::test
