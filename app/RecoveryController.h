#pragma once
// The Recovery tab: the cached items newest first, narrowed by disk, time window and a name search;
// recovered into a folder, put back where they were trashed from, dragged out, deleted for good, browsed
// into and previewed. The decisions live in RecoveryListState; this mirrors them into the widgets and
// runs the copies and deletions on a worker thread behind a progress sheet.

#include "recovery_copy.h"
#include "recovery_item.h"
#include "recovery_list.h"
#include "recovery_list_state.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QWidget;

namespace bw {

struct AppContext;
class PXPreviewWindow;
class PXProgressSheet;
class PXRecoveryCell;
class PXSubFolderBarController;
class RecoveryTableModel;
class RecoveryTableView;

class RecoveryController : public QObject {
    Q_OBJECT
public:
    // `window` carries the sheets and the preview.
    RecoveryController(AppContext& context, QWidget* window, QObject* parent = nullptr);
    ~RecoveryController() override;

    QWidget* page() const { return m_page; }

    // The tab is shown: home cache, search ended, the first automatic time window that lists something.
    void loadGUI();
    // A pop-up's choice changed: the list is read again for the current choices.
    void changeDisplaySetting();
    // The caches changed elsewhere: the list is read again, the selection goes.
    void reloadCacheNotification();
    void updateSearch(const QString& text);
    void destroySearch();
    // A double click: a folder without an extension opens in the folder bar.
    void tableviewDoubleClick(int row);
    // The list owns the table again.
    void becomeMainDelegate();

    // Recover… asks for a folder (a sheet) and copies the selection into it.
    void recoverSelection();
    // Copies the items into the folder on the worker thread (the progress sheet shows meanwhile).
    void recoverInto(const std::vector<RecoveryItem>& items, const std::string& folder);
    // Puts the selected items back where they were trashed from.
    void restoreSelection();
    // Delete asks first (Cancel is the default); then removes the selection / every listed item.
    void deleteSelection();
    void emptyAllItemDisplayed();
    void removeItems(const std::vector<RecoveryItem>& items);
    void togglePreview();

    // Whether a copy or deletion is under way.
    bool isBusy() const { return m_busy; }
    // What the last finished copy, restore or deletion could not do (one line each).
    const std::vector<std::string>& lastErrors() const { return m_lastErrors; }
    // The destinations the last copy or restore wrote.
    const std::vector<std::string>& lastDestinations() const { return m_lastDestinations; }

    const RecoveryListState& state() const { return m_state; }
    RecoveryTableView* itemTable() const { return m_itemTable; }
    RecoveryTableModel* model() const { return m_model; }
    PXRecoveryCell* cell() const { return m_cell; }
    PXSubFolderBarController* barController() const { return m_bar; }
    PXPreviewWindow* previewPanel() const { return m_preview; }
    QLineEdit* searchTF() const { return m_searchTF; }
    QComboBox* timePopup() const { return m_timePopup; }
    QComboBox* diskPopup() const { return m_diskPopup; }
    QPushButton* emptyAllButton() const { return m_emptyAllButton; }
    QPushButton* emptySelectionButton() const { return m_emptySelectionButton; }
    QPushButton* recoverButton() const { return m_recoverButton; }
    QPushButton* restoreButton() const { return m_restoreButton; }
    QPushButton* previewButton() const { return m_previewButton; }
    QDialog* genericProgressWin() const;
    QLabel* recoveryStatusTF() const;
    QMenu* contextMenu() const { return m_contextMenu; }

    // Where the caches are looked for (the test's home and volumes in tests).
    CacheLocations locations() const;

signals:
    // The information tab's figures are out of date (after a deletion's sheet closed).
    void infosNeedRefresh();
    // A copy or deletion finished and its sheet closed.
    void operationFinished();

private:
    void buildPage();
    std::vector<RecoveryItem> readCurrentList() const;
    void reloadTable();
    void syncControls();
    void selectionChanged();
    void selectTag(QComboBox* popup, int tag);
    int selectedTag(const QComboBox* popup) const;
    // Runs `work` on the worker thread behind the progress sheet; `done` runs on the main thread after.
    void runInBackground(const QString& status, int steps,
                         std::function<void(const std::function<void(int, const QString&)>&)> work,
                         std::function<void()> done);
    // The delete alert with the given explanation; true only when Delete was chosen.
    bool confirmDeletion(const char* messageKey);
    void updatePreview();
    void movePreviewSelection(int delta);

    // Worker side: a copy's outcome into the lists the finished sheet reads.
    void keepOutcome(const CopyOutcome& outcome);
    // Main thread, after the sheet: the first failure of the work, under the given title.
    void alertFirstError(const char* titleKey);

    AppContext& m_context;
    QWidget* m_window;
    RecoveryListState m_state;
    QWidget* m_page = nullptr;
    RecoveryTableView* m_itemTable = nullptr;
    RecoveryTableModel* m_model = nullptr;
    PXRecoveryCell* m_cell = nullptr;
    PXSubFolderBarController* m_bar = nullptr;
    PXPreviewWindow* m_preview = nullptr; // made on first use, a child of the window, deleted with this
    QLineEdit* m_searchTF = nullptr;
    QComboBox* m_timePopup = nullptr;
    QComboBox* m_diskPopup = nullptr;
    QPushButton* m_emptyAllButton = nullptr;
    QPushButton* m_emptySelectionButton = nullptr;
    QPushButton* m_recoverButton = nullptr;
    QPushButton* m_restoreButton = nullptr;
    QPushButton* m_refreshListButton = nullptr;
    QPushButton* m_previewButton = nullptr;
    PXProgressSheet* m_progress = nullptr;
    QMenu* m_contextMenu = nullptr;
    bool m_syncingWidgets = false;
    bool m_busy = false;
    std::vector<std::string> m_workerErrors;
    std::vector<std::string> m_workerDestinations;
    std::vector<std::string> m_lastErrors;
    std::vector<std::string> m_lastDestinations;
};

} // namespace bw
