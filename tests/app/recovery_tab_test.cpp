// The Recovery tab offscreen on caches written into a temporary home: the buttons' enabling, the
// automatic time window, search, browsing into cached folders, recovering, restoring, dragging out,
// deleting and the preview.

#include "PXPreviewWindow.h"
#include "PXSubFolderBarController.h"
#include "RecoveryController.h"
#include "RecoveryTableModel.h"
#include "RecoveryTableView.h"
#include "app_test_support.h"
#include "store/cache_index.h"
#include "recovery_fixture.h"
#include "plist/reference_time.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace bw;
using namespace bw::test;
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

class RecoveryTab : public ::testing::Test, public AppFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(systemBus.ok());
        now = timeIntervalSinceReferenceDate();
        cache = homeCacheFolder(home.path());
        window = std::make_unique<QWidget>();
        window->resize(640, 480);
    }
    void TearDown() override {
        controller.reset();
        window.reset();
    }

    RecoveryController& open() {
        controller = std::make_unique<RecoveryController>(*context, window.get());
        controller->page()->setParent(window.get());
        controller->page()->resize(640, 480);
        controller->loadGUI();
        return *controller;
    }

    std::vector<std::string> shownNames() const {
        std::vector<std::string> names;
        for (int row = 0; row < controller->model()->rowCount(); ++row)
            names.push_back(controller->model()->index(row, 0).data().toString().toStdString());
        return names;
    }

    void selectRows(const std::vector<int>& rows) {
        RecoveryTableView* table = controller->itemTable();
        table->clearSelection();
        for (int row : rows)
            table->selectionModel()->select(controller->model()->index(row, 0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    // Clicks the button titled `answer` of the next alert that shows.
    void answerNextAlert(const QString& answer) {
        auto* timer = new QTimer(window.get());
        timer->setInterval(10);
        QObject::connect(timer, &QTimer::timeout, [timer, answer] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                if (!box || !box->isVisible())
                    continue;
                for (QAbstractButton* button : box->buttons()) {
                    if (button->text() == answer) {
                        timer->stop();
                        timer->deleteLater();
                        button->click();
                        return;
                    }
                }
            }
        });
        timer->start();
    }

    bool waitIdle() {
        return pumpUntil([this] { return !controller->isBusy(); }, 20000);
    }

    struct Controls {
        bool emptyAll, emptySelection, recover, search, popups;
        bool operator==(const Controls&) const = default;
    };
    Controls controls() const {
        return {controller->emptyAllButton()->isEnabled(), controller->emptySelectionButton()->isEnabled(),
                controller->recoverButton()->isEnabled(), controller->searchTF()->isEnabled(),
                controller->timePopup()->isEnabled() && controller->diskPopup()->isEnabled()};
    }

    double now = 0.0;
    std::string cache;
    std::unique_ptr<QWidget> window;
    std::unique_ptr<RecoveryController> controller;
};

} // namespace

TEST_F(RecoveryTab, TheButtonsFollowTheSelectionAndTheFolderView) {
    makeBatch(cache, "b1", now - 60,
              {{"Report.pdf", now - 60}, {"Projects", now - 50, "", true}, {"notes.txt", now - 40}});
    RecoveryController& tab = open();
    ASSERT_EQ(tab.model()->rowCount(), 3);
    const std::vector<std::string> listed = shownNames();
    const int projects = static_cast<int>(std::find(listed.begin(), listed.end(), "Projects") - listed.begin());

    struct Step {
        const char* what;
        std::function<void()> act;
        Controls expected;
    } steps[] = {
        {"loaded", [] {}, {true, false, false, true, true}},
        {"one selected", [&] { selectRows({0}); }, {true, true, true, true, true}},
        {"two selected", [&] { selectRows({0, 2}); }, {true, true, true, true, true}},
        {"none selected", [&] { selectRows({}); }, {true, false, false, true, true}},
        {"inside a folder", [&] { tab.tableviewDoubleClick(projects); }, {false, false, false, false, false}},
        {"a folder entry selected", [&] { selectRows({0}); }, {false, false, true, false, false}},
        {"back to the list", [&] { tab.barController()->backButton()->click(); }, {true, false, false, true, true}},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(controls(), step.expected) << step.what;
    }
}

TEST_F(RecoveryTab, LoadingChoosesTheFirstTimeWindowThatListsSomething) {
    struct Case {
        double age; // of the batch's last addition, in hours
        int tag;
    } cases[] = {{0.5, 1}, {2.0, 3}, {5.0, 6}, {11.0, 12}, {20.0, 24}, {100.0, 168}, {24.0 * 30, 0}};
    for (const Case& c : cases) {
        fs::remove_all(cache);
        makeBatch(cache, "batch", now - c.age * 3600.0, {{"old.txt", now - 90 * 86400.0}});
        RecoveryController& tab = open();
        EXPECT_EQ(tab.timePopup()->currentData().toInt(), c.tag) << c.age << " h";
        EXPECT_EQ(tab.state().timeTag(), c.tag);
        // Every item of a chosen batch is listed, however old the item itself.
        EXPECT_EQ(shownNames(), std::vector<std::string>{"old.txt"}) << c.age << " h";
    }
    // Choosing a narrower window afterwards hides the old batch; "Any time" shows it again.
    open();
    controller->timePopup()->setCurrentIndex(controller->timePopup()->findData(1));
    EXPECT_TRUE(shownNames().empty());
    controller->timePopup()->setCurrentIndex(controller->timePopup()->findData(0));
    EXPECT_EQ(shownNames().size(), 1u);
}

TEST_F(RecoveryTab, SearchNarrowsAndWidensAgainOnTheFullList) {
    makeBatch(cache, "b1", now - 60,
              {{"École.pdf", now - 10}, {"ecole-notes.txt", now - 20}, {"Report.pdf", now - 30},
               {"photo.png", now - 40}});
    RecoveryController& tab = open();
    const std::vector<std::string> all = shownNames();
    ASSERT_EQ(all.size(), 4u);
    struct Step {
        const char* typed;
        std::vector<std::string> shown;
        bool emptyAll;
    } steps[] = {
        {"e", {"École.pdf", "ecole-notes.txt", "Report.pdf"}, true},
        {"ec", {"École.pdf", "ecole-notes.txt"}, true},
        {"ECOLE.", {"École.pdf"}, true},
        {"ecolex", {}, true},
        {"p", {"École.pdf", "Report.pdf", "photo.png"}, true},
        {"", all, true},
    };
    for (const Step& step : steps) {
        tab.searchTF()->setText(QString::fromUtf8(step.typed));
        EXPECT_EQ(shownNames(), step.shown) << "typed " << step.typed;
    }
    tab.searchTF()->setText("pdf");
    tab.destroySearch();
    EXPECT_EQ(shownNames(), all);
    EXPECT_TRUE(tab.searchTF()->text().isEmpty());
}

TEST_F(RecoveryTab, BrowsingIntoFoldersAndRecoveringFromTheSecondLevel) {
    auto stored = makeBatch(cache, "b1", now - 60,
                            {{"Projects", now - 50, "", true}, {"Notes.app", now - 40, "", true}});
    const std::string projects = cache + "/b1/" + stored[0];
    makeDirs(projects + "/src");
    writeFile(projects + "/src/main.c", "int main(void) { return 0; }\n");
    writeFile(projects + "/src/util.c", "util\n");
    writeFile(projects + "/README", "readme\n");
    RecoveryController& tab = open();
    auto rowOf = [&](const std::string& name) {
        auto names = shownNames();
        return static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
    };

    // A package-like folder is one item.
    tab.tableviewDoubleClick(rowOf("Notes.app"));
    EXPECT_FALSE(tab.barController()->bar()->isVisibleTo(tab.page()));
    tab.tableviewDoubleClick(rowOf("Projects"));
    EXPECT_TRUE(tab.barController()->bar()->isVisibleTo(tab.page()));
    EXPECT_TRUE(tab.barController()->pathTF()->toolTip().contains("Projects"));
    tab.tableviewDoubleClick(rowOf("src"));
    EXPECT_TRUE(tab.barController()->pathTF()->toolTip().contains("Projects/src"));
    auto names = shownNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"main.c", "util.c"}));

    // Recovering at level 2 copies just that file.
    const std::string destination = home.path() + "/Restored";
    makeDirs(destination);
    selectRows({rowOf("main.c")});
    tab.recoverInto(tab.itemTable()->selectedItems(), destination);
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(tab.lastErrors().empty());
    std::vector<std::string> written;
    for (const auto& entry : fs::directory_iterator(destination))
        written.push_back(entry.path().filename());
    EXPECT_EQ(written, std::vector<std::string>{"main.c"});
    EXPECT_EQ(readAll(destination + "/main.c"), "int main(void) { return 0; }\n");

    // Back twice: the list owns the table again, with its controls.
    tab.barController()->backButton()->click();
    EXPECT_TRUE(tab.barController()->bar()->isVisibleTo(tab.page()));
    tab.barController()->backButton()->click();
    EXPECT_FALSE(tab.barController()->bar()->isVisibleTo(tab.page()));
    EXPECT_EQ(shownNames().size(), 2u);
    EXPECT_EQ(controls(), (Controls{true, false, false, true, true}));
}

TEST_F(RecoveryTab, DraggingOutStagesFreeNamesAndCleansUp) {
    makeBatch(cache, "b1", now - 60, {{"a.txt", now - 10, "first"}, {"a.txt", now - 20, "second"}});
    makeBatch(cache, "b2", now - 30, {{"Album", now - 30, "", true}});
    RecoveryController& tab = open();
    ASSERT_EQ(tab.model()->rowCount(), 3);
    struct Case {
        std::vector<int> rows;
        std::vector<std::string> names;
    } cases[] = {{{0, 1}, {"a.txt", "a - 1.txt"}}, {{2}, {"Album"}}};
    for (const Case& c : cases) {
        selectRows(c.rows);
        std::unique_ptr<QMimeData> mime(tab.itemTable()->stageDrag(tab.itemTable()->selectedItems()));
        ASSERT_TRUE(mime);
        const std::string staging = tab.itemTable()->stagingFolder();
        // On the cache's own volume, outside every batch.
        EXPECT_EQ(fs::path(staging).parent_path(), fs::path(cache));
        // The receiving file manager copies what the list names.
        const std::string destination = home.path() + "/Drop" + std::to_string(c.rows.front());
        makeDirs(destination);
        std::vector<std::string> names;
        for (const QUrl& url : mime->urls()) {
            const fs::path from = url.toLocalFile().toStdString();
            names.push_back(from.filename());
            fs::copy(from, destination / from.filename(), fs::copy_options::recursive);
        }
        EXPECT_EQ(names, c.names);
        tab.itemTable()->endDrag();
        EXPECT_FALSE(fs::exists(staging));
        EXPECT_TRUE(tab.itemTable()->stagingFolder().empty());
    }
    std::set<std::string> contents{readAll(home.path() + "/Drop0/a.txt"), readAll(home.path() + "/Drop0/a - 1.txt")};
    EXPECT_EQ(contents, (std::set<std::string>{"first", "second"}));
    EXPECT_EQ(readAll(home.path() + "/Drop2/Album/inside.txt"), "");
    // The staging folders never show up in the list; the cache still lists exactly its items.
    tab.reloadCacheNotification();
    EXPECT_EQ(tab.model()->rowCount(), 3);
    // Nothing can be dropped onto the table.
    EXPECT_FALSE(tab.itemTable()->acceptDrops());
    EXPECT_FALSE(tab.model()->flags(tab.model()->index(0, 0)) & Qt::ItemIsDropEnabled);
}

TEST_F(RecoveryTab, DeletingAsksFirstAndTheIndexAgrees) {
    auto stored = makeBatch(cache, "b1", now - 60,
                            {{"one", now - 10}, {"two", now - 20}, {"three", now - 30}, {"four", now - 40},
                             {"five", now - 50}});
    RecoveryController& tab = open();
    ASSERT_EQ(tab.model()->rowCount(), 5);
    struct Step {
        QString answer;
        std::vector<std::string> left;
    } steps[] = {
        {"Cancel", {"one", "two", "three", "four", "five"}},
        {"Delete", {"two", "four"}},
    };
    for (const Step& step : steps) {
        selectRows({0, 2, 4});
        answerNextAlert(step.answer);
        tab.deleteSelection();
        ASSERT_TRUE(waitIdle());
        EXPECT_EQ(shownNames(), step.left) << step.answer.toStdString();
        auto index = readCacheIndex(cache + "/b1");
        ASSERT_TRUE(index && index->indexTable());
        std::vector<std::string> indexed;
        for (const auto& [key, entry] : *index->indexTable())
            indexed.push_back(entry.realName);
        std::sort(indexed.begin(), indexed.end());
        auto expected = step.left;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(indexed, expected);
    }
    EXPECT_FALSE(fs::exists(cache + "/b1/" + stored[0]));
    EXPECT_TRUE(fs::exists(cache + "/b1/" + stored[1]));
    EXPECT_TRUE(tab.lastErrors().empty());
}

TEST_F(RecoveryTab, RestorePutsItemsBackWhereTheyWereTrashed) {
    const std::string original = home.path() + "/Documents/deep/letter.txt";
    makeBatch(cache, "b1", now - 60,
              {{"letter.txt", now - 10, "dear", false, original}, {"nowhere.txt", now - 20, "?"}});
    RecoveryController& tab = open();
    ASSERT_EQ(shownNames(), (std::vector<std::string>{"letter.txt", "nowhere.txt"}));
    // The original folder is named in the information line.
    EXPECT_TRUE(tab.model()->index(0, 0).data(RecoveryTableModel::InfoLineRole).toString().contains("~/Documents/deep"));
    struct Case {
        std::vector<int> rows;
        bool enabled;
    } cases[] = {{{0}, true}, {{1}, false}, {{0, 1}, false}};
    for (const Case& c : cases) {
        selectRows(c.rows);
        EXPECT_EQ(tab.restoreButton()->isEnabled(), c.enabled) << c.rows.size();
    }
    selectRows({0});
    for (const char* expected : {"letter.txt", "letter - 1.txt"}) {
        tab.restoreButton()->click();
        ASSERT_TRUE(waitIdle());
        EXPECT_EQ(readAll(home.path() + "/Documents/deep/" + expected), "dear");
        selectRows({0});
    }
}

TEST_F(RecoveryTab, ThePreviewShowsTheSelectionAndFollowsTheArrows) {
    std::vector<FakeItem> items;
    for (int i = 1; i <= 6; ++i)
        items.push_back({"note" + std::to_string(i) + ".txt", now - i, "text of " + std::to_string(i)});
    items.push_back({"data.bin", now - 7, std::string("\x00\x01\x02", 3)});
    makeBatch(cache, "b1", now - 60, items);
    RecoveryController& tab = open();
    window->show();
    selectRows({2, 4});
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
    QApplication::sendEvent(tab.itemTable(), &space);
    PXPreviewWindow* preview = tab.previewPanel();
    ASSERT_TRUE(preview && preview->isVisible());
    std::vector<QString> names;
    for (const TrashCacheItem& item : preview->items())
        names.push_back(item.displayName);
    EXPECT_EQ(names, (std::vector<QString>{"note3.txt", "note5.txt"}));
    EXPECT_EQ(preview->shownKind(), "text");

    struct Step {
        Qt::Key key;
        QString shown;
        QString kind;
    } steps[] = {{Qt::Key_Right, "note5.txt", "text"}, {Qt::Key_Down, "note6.txt", "text"},
                 {Qt::Key_Down, "data.bin", "info"},   {Qt::Key_Up, "note6.txt", "text"}};
    for (const Step& step : steps) {
        QKeyEvent press(QEvent::KeyPress, step.key, Qt::NoModifier);
        QApplication::sendEvent(preview, &press);
        EXPECT_EQ(preview->shownName(), step.shown);
        EXPECT_EQ(preview->shownKind(), step.kind);
    }
    // Nothing was copied out of the cache to be previewed.
    EXPECT_EQ(preview->items().front().path.toStdString().rfind(cache, 0), 0u);
    tab.previewButton()->click();
    EXPECT_FALSE(preview->isVisible());
}
