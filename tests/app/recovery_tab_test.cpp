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
#include <QContextMenuEvent>
#include <QDialog>
#include <QDrag>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
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
        {"a search drops the selection",
         [&] {
             selectRows({0});
             tab.searchTF()->setText("o");
         },
         {true, false, false, true, true}},
        {"the search ended", [&] { tab.searchTF()->clear(); }, {true, false, false, true, true}},
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

namespace {

// How much of the pixmap's rectangle is exactly `color`, and whether any pixel there is near white.
struct PixelCount {
    double share = 0.0;
    bool someWhite = false;
    bool someOpaque = false;
};
PixelCount countPixels(const QImage& image, const QRect& area, const QColor& color) {
    int matching = 0;
    int all = 0;
    PixelCount count;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            ++all;
            matching += pixel.rgb() == color.rgb() && pixel.alpha() == 255 ? 1 : 0;
            count.someWhite = count.someWhite || (pixel.red() > 220 && pixel.green() > 220 && pixel.blue() > 220 &&
                                                  pixel.alpha() > 200);
            count.someOpaque = count.someOpaque || pixel.alpha() > 0;
        }
    }
    count.share = all ? static_cast<double>(matching) / all : 0.0;
    return count;
}

} // namespace

TEST_F(RecoveryTab, ADragCarriesTheStagedFilesAndShowsTheNameOrTheCountOnABlueLabel) {
    auto stored = makeBatch(cache, "b1", now - 60,
                            {{"Report.pdf", now - 10, "report"}, {"Report.pdf", now - 20, "older report"},
                             {"Album", now - 30, "", true}});
    RecoveryController& tab = open();
    ASSERT_EQ(shownNames(), (std::vector<std::string>{"Report.pdf", "Report.pdf", "Album"}));
    struct Case {
        std::vector<int> rows;
        QString label;
        std::vector<std::string> staged;
    } cases[] = {
        {{0}, "Report.pdf", {"Report.pdf"}},
        {{2}, "Album", {"Album"}},
        {{0, 1, 2}, "3 items", {"Report.pdf", "Report - 1.pdf", "Album"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label.toStdString());
        selectRows(c.rows);
        const std::vector<RecoveryItem> items = tab.itemTable()->selectedItems();
        EXPECT_EQ(tab.itemTable()->dragLabel(items), c.label);

        QDrag* drag = tab.itemTable()->prepareDrag(items);
        ASSERT_TRUE(drag);
        // The drop target gets a list of files, named as a drop into an empty folder names them.
        ASSERT_TRUE(drag->mimeData()->hasFormat("text/uri-list"));
        const std::string staging = tab.itemTable()->stagingFolder();
        std::vector<std::string> names;
        for (const QUrl& url : drag->mimeData()->urls()) {
            ASSERT_TRUE(url.isLocalFile());
            const fs::path path = url.toLocalFile().toStdString();
            EXPECT_EQ(path.parent_path(), fs::path(staging));
            EXPECT_TRUE(fs::exists(path));
            names.push_back(path.filename());
        }
        EXPECT_EQ(names, c.staged);
        // A file is offered without being copied: the staged name is the cached file itself.
        if (!items.front().isFolder) {
            EXPECT_TRUE(fs::equivalent(staging + "/" + c.staged.front(), items.front().rawItemPath));
        }

        // The picture: the icon at the left, then the label white on a rounded blue background.
        const QImage image = drag->pixmap().toImage();
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), tab.itemTable()->dragImage(items).size());
        EXPECT_TRUE(countPixels(image, QRect(0, 0, 32, image.height()), Qt::blue).someOpaque) << "an icon";
        const QRect label(38, 0, image.width() - 38, image.height());
        const PixelCount inLabel = countPixels(image, label, QColor(56, 117, 215));
        EXPECT_GT(inLabel.share, 0.4) << "a blue label";
        EXPECT_TRUE(inLabel.someWhite) << "white text";
        EXPECT_EQ(image.pixelColor(label.topLeft()).alpha(), 0) << "rounded corners";
        EXPECT_EQ(image.pixelColor(label.bottomRight()).alpha(), 0) << "rounded corners";

        // Nothing was dropped: the staged files go with the drag.
        tab.itemTable()->finishDrag(drag, Qt::IgnoreAction);
        EXPECT_FALSE(fs::exists(staging));
        delete drag;
    }
    // The cache itself is untouched.
    EXPECT_EQ(readAll(cache + "/b1/" + stored[0]), "report");
    EXPECT_TRUE(fs::is_directory(cache + "/b1/" + stored[2]));
}

TEST_F(RecoveryTab, AfterADropTheStagedFilesWaitForTheTargetForABoundedTime) {
    makeBatch(cache, "b1", now - 60, {{"a.txt", now - 10, "a"}});
    // A run that stopped without removing its drag folders, and one that still runs.
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string deadRun = cache + "/.bw2-drag-" + std::to_string(gone) + "-abcdef";
    const std::string liveRun = cache + "/.bw2-drag-" + std::to_string(getppid()) + "-abcdef";
    makeDirs(deadRun + "/Album");
    makeDirs(liveRun);
    RecoveryController& tab = open();
    EXPECT_FALSE(fs::exists(deadRun)) << "left behind by a run that stopped";
    EXPECT_TRUE(fs::exists(liveRun)) << "still in use by a running program";
    EXPECT_EQ(tab.model()->rowCount(), 1);

    using namespace std::chrono_literals;
    tab.itemTable()->setStagingDelays(100ms, 3s);
    struct Case {
        const char* what;
        Qt::DropAction result;
        bool targetDone; // the target said it has the data: Qt lets go of the drag object
        bool keptAWhile;
    } cases[] = {
        {"nothing dropped", Qt::IgnoreAction, false, false},
        {"dropped, the target done", Qt::CopyAction, true, false},
        {"dropped, the target silent", Qt::CopyAction, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        selectRows({0});
        QDrag* drag = tab.itemTable()->prepareDrag(tab.itemTable()->selectedItems());
        ASSERT_TRUE(drag);
        const std::string staging = tab.itemTable()->stagingFolder();
        const std::string staged = drag->mimeData()->urls().front().toLocalFile().toStdString();
        tab.itemTable()->finishDrag(drag, c.result);
        // A target that copies after the drop still finds the file right after the drag ended.
        EXPECT_EQ(fs::exists(staged), c.result != Qt::IgnoreAction);
        if (c.targetDone)
            delete drag;
        pumpEvents(400);
        EXPECT_EQ(fs::exists(staging), c.keptAWhile);
        // ...but never beyond the bound.
        EXPECT_TRUE(pumpUntil([&] { return !fs::exists(staging); }, 15000));
        if (!c.targetDone)
            delete drag;
    }
    EXPECT_TRUE(tab.itemTable()->stagingFolders().empty());

    // Quitting takes a folder still waiting along.
    selectRows({0});
    QDrag* drag = tab.itemTable()->prepareDrag(tab.itemTable()->selectedItems());
    ASSERT_TRUE(drag);
    const std::string staging = tab.itemTable()->stagingFolder();
    tab.itemTable()->finishDrag(drag, Qt::CopyAction);
    EXPECT_TRUE(fs::exists(staging));
    controller.reset();
    EXPECT_FALSE(fs::exists(staging));
    fs::remove_all(liveRun);
}

TEST_F(RecoveryTab, TheContextMenuOffersWhatTheSelectionAllows) {
    auto stored = makeBatch(cache, "b1", now - 60,
                            {{"letter.txt", now - 10, "dear", false, home.path() + "/Documents/letter.txt"},
                             {"nowhere.txt", now - 20, "?"},
                             {"Projects", now - 30, "", true}});
    writeFile(cache + "/b1/" + stored[2] + "/README", "readme\n");
    RecoveryController& tab = open();
    window->show();
    ASSERT_EQ(shownNames(), (std::vector<std::string>{"letter.txt", "nowhere.txt", "Projects"}));
    QMenu* menu = tab.contextMenu();
    std::vector<QAction*> entries;
    std::vector<QString> titles;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator()) {
            entries.push_back(action);
            titles.push_back(action->text());
        }
    }
    ASSERT_EQ(titles, (std::vector<QString>{"Recover…", "Restore to Original Place", "Preview", "Delete…"}));

    RecoveryTableView* table = tab.itemTable();
    auto rightClick = [&](int row) {
        const QPoint at = row >= 0 ? table->visualRect(tab.model()->index(row, 0)).center()
                                   : QPoint(10, table->viewport()->height() - 5);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, table->viewport()->mapToGlobal(at));
        QApplication::sendEvent(table->viewport(), &event);
    };
    struct Case {
        const char* what;
        std::function<void()> before;
        int clicked; // row right-clicked, -1 for the empty part of the table
        std::vector<int> selectedAfter;
        std::vector<bool> enabled; // Recover, Restore, Preview, Delete
    } cases[] = {
        {"a row with its original place", [&] { selectRows({}); }, 0, {0}, {true, true, true, true}},
        {"a row without one", [&] { selectRows({0}); }, 1, {1}, {true, false, true, true}},
        {"inside a selection of two", [&] { selectRows({0, 1}); }, 0, {0, 1}, {true, false, true, true}},
        {"the empty part, nothing selected", [&] { selectRows({}); }, -1, {}, {false, false, false, false}},
        {"an entry of a cached folder", [&] { tab.tableviewDoubleClick(2); }, 0, {0}, {true, false, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.before();
        rightClick(c.clicked);
        EXPECT_TRUE(menu->isVisible());
        EXPECT_EQ(table->selectedRowNumbers(), c.selectedAfter);
        std::vector<bool> enabled;
        for (QAction* entry : entries)
            enabled.push_back(entry->isEnabled());
        EXPECT_EQ(enabled, c.enabled);
        menu->hide();
    }
    tab.barController()->backButton()->click();

    // The entries act: Restore puts the file back, Preview opens the preview, Delete asks first.
    selectRows({});
    rightClick(0);
    menu->hide();
    entries[1]->trigger();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(readAll(home.path() + "/Documents/letter.txt"), "dear");
    selectRows({1});
    entries[2]->trigger();
    ASSERT_TRUE(tab.previewPanel() && tab.previewPanel()->isVisible());
    EXPECT_EQ(tab.previewPanel()->shownName(), "nowhere.txt");
    entries[2]->trigger();
    EXPECT_FALSE(tab.previewPanel()->isVisible());
    selectRows({1});
    answerNextAlert("Cancel");
    entries[3]->trigger();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(tab.model()->rowCount(), 3);
}
