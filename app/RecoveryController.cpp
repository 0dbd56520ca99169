#include "RecoveryController.h"

#include "AppContext.h"
#include "PXPreviewWindow.h"
#include "PXProgressSheet.h"
#include "PXRecoveryCell.h"
#include "PXSubFolderBarController.h"
#include "RecoveryTableModel.h"
#include "RecoveryTableView.h"
#include "alert_box.h"
#include "app_strings.h"
#include "cache_item_removal.h"
#include "bus/notification_names.h"
#include "recovery_copy.h"
#include "plist/reference_time.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <stdlib.h>
#include <syslog.h>

namespace bw {

namespace {

QString text(const char* key) {
    return QString::fromStdString(appString(key));
}

} // namespace

RecoveryController::RecoveryController(AppContext& context, QWidget* window, QObject* parent)
    : QObject(parent), m_context(context), m_window(window) {
    buildPage();
    // Files staged for drags by a run that stopped before it could remove them.
    std::vector<std::string> stagingBases = cacheFoldersOfUser(locations());
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        stagingBases.emplace_back(runtime);
    stagingBases.emplace_back("/tmp");
    m_itemTable->removeStagingLeftovers(stagingBases, m_context.uid);
    // Cache management elsewhere (pruning, a deletion in the agent) changes what can be listed.
    QPointer<RecoveryController> self(this);
    m_context.bus.observe(notif::kCacheManagementDone, [self](const Notification&) {
        if (self)
            QMetaObject::invokeMethod(self, [self] { if (self) self->reloadCacheNotification(); },
                                      Qt::QueuedConnection);
    });
}

RecoveryController::~RecoveryController() {
    delete m_progress; // waits for a worker still running
    // Quitting: files staged for drop targets go now, whoever keeps the page.
    if (m_itemTable)
        m_itemTable->removeAllStagingFolders();
    delete m_preview;
}

void RecoveryController::buildPage() {
    m_page = new QWidget();
    auto* layout = new QVBoxLayout(m_page);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* top = new QHBoxLayout();
    m_diskPopup = new QComboBox(m_page);
    m_diskPopup->addItem(text("200_Disk Popup Home"), RecoveryListState::kHomeDiskTag);
    m_diskPopup->addItem(text("200_Disk Popup All"), RecoveryListState::kAllDisksTag);
    m_timePopup = new QComboBox(m_page);
    const struct {
        int tag;
        const char* key;
    } times[] = {{1, "200_Time Popup 1"},   {3, "200_Time Popup 3"},   {6, "200_Time Popup 6"},
                 {12, "200_Time Popup 12"}, {24, "200_Time Popup 24"}, {168, "200_Time Popup 168"},
                 {0, "200_Time Popup All"}};
    for (const auto& time : times)
        m_timePopup->addItem(text(time.key), time.tag);
    m_searchTF = new QLineEdit(m_page);
    m_searchTF->setPlaceholderText(text("200_Search Placeholder"));
    m_searchTF->setClearButtonEnabled(true);
    // Room for the placeholder and the clear button even in the smallest window.
    m_searchTF->setMinimumWidth(m_searchTF->fontMetrics().horizontalAdvance(m_searchTF->placeholderText()) + 48);
    m_refreshListButton = new QPushButton(
        QIcon::fromTheme("view-refresh", QApplication::style()->standardIcon(QStyle::SP_BrowserReload)), QString(),
        m_page);
    m_refreshListButton->setToolTip(text("200_Refresh List Button"));
    m_previewButton = new QPushButton(QIcon::fromTheme("document-preview", QApplication::style()->standardIcon(
                                                                               QStyle::SP_FileDialogContentsView)),
                                      text("200_Preview Button"), m_page);
    top->addWidget(m_diskPopup);
    top->addWidget(m_timePopup);
    top->addWidget(m_refreshListButton);
    top->addStretch(1);
    top->addWidget(m_previewButton);
    top->addWidget(m_searchTF, 1);
    layout->addLayout(top);

    m_bar = new PXSubFolderBarController(m_page);
    layout->addWidget(m_bar->bar());

    m_itemTable = new RecoveryTableView(m_page);
    connect(m_itemTable, &QObject::destroyed, this, [this] { m_itemTable = nullptr; });
    m_model = new RecoveryTableModel(m_state, m_bar->browser(), this);
    m_model->setHomeFolder(QString::fromStdString(m_context.homeFolder));
    m_cell = new PXRecoveryCell(this);
    m_itemTable->setModel(m_model);
    m_itemTable->setItemDelegate(m_cell);
    layout->addWidget(m_itemTable, 1);

    auto* bottom = new QHBoxLayout();
    m_emptyAllButton = new QPushButton(text("200_Delete All Button"), m_page);
    m_emptySelectionButton = new QPushButton(text("200_Delete Selection Button"), m_page);
    m_restoreButton = new QPushButton(text("200_Restore Button"), m_page);
    m_recoverButton = new QPushButton(text("200_Recover Button"), m_page);
    m_recoverButton->setDefault(true);
    bottom->addWidget(m_emptyAllButton);
    bottom->addWidget(m_emptySelectionButton);
    bottom->addStretch(1);
    bottom->addWidget(m_restoreButton);
    bottom->addWidget(m_recoverButton);
    layout->addLayout(bottom);

    m_progress = new PXProgressSheet(m_window, text("200_Progress Title"));

    m_contextMenu = new QMenu(m_itemTable);
    QAction* recover = m_contextMenu->addAction(text("200_Context Recover"));
    QAction* restore = m_contextMenu->addAction(text("200_Context Restore"));
    QAction* preview = m_contextMenu->addAction(text("200_Context Preview"));
    m_contextMenu->addSeparator();
    QAction* remove = m_contextMenu->addAction(text("200_Context Delete"));
    connect(recover, &QAction::triggered, this, &RecoveryController::recoverSelection);
    connect(restore, &QAction::triggered, this, &RecoveryController::restoreSelection);
    connect(preview, &QAction::triggered, this, &RecoveryController::togglePreview);
    connect(remove, &QAction::triggered, this, &RecoveryController::deleteSelection);
    connect(m_itemTable, &RecoveryTableView::contextMenuWanted, this,
            [this, recover, restore, preview, remove](const QPoint& at) {
                // The entries do what the buttons do, so they follow the buttons.
                recover->setEnabled(m_recoverButton->isEnabled());
                restore->setEnabled(m_restoreButton->isEnabled());
                preview->setEnabled(!m_itemTable->selectedRowNumbers().empty());
                remove->setEnabled(m_emptySelectionButton->isEnabled());
                m_contextMenu->popup(at);
            });

    // The starting state: home cache, 24 hours, nothing selected.
    selectTag(m_timePopup, m_state.timeTag());
    selectTag(m_diskPopup, m_state.diskTag());
    syncControls();

    connect(m_timePopup, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_syncingWidgets)
            changeDisplaySetting();
    });
    connect(m_diskPopup, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_syncingWidgets)
            changeDisplaySetting();
    });
    connect(m_searchTF, &QLineEdit::textChanged, this, [this](const QString& value) {
        if (!m_syncingWidgets)
            updateSearch(value);
    });
    connect(m_refreshListButton, &QPushButton::clicked, this, &RecoveryController::changeDisplaySetting);
    connect(m_recoverButton, &QPushButton::clicked, this, &RecoveryController::recoverSelection);
    connect(m_restoreButton, &QPushButton::clicked, this, &RecoveryController::restoreSelection);
    connect(m_emptySelectionButton, &QPushButton::clicked, this, &RecoveryController::deleteSelection);
    connect(m_emptyAllButton, &QPushButton::clicked, this, &RecoveryController::emptyAllItemDisplayed);
    connect(m_previewButton, &QPushButton::clicked, this, &RecoveryController::togglePreview);
    connect(m_itemTable, &RecoveryTableView::previewRequested, this, &RecoveryController::togglePreview);
    connect(m_itemTable, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { tableviewDoubleClick(index.row()); });
    connect(m_itemTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RecoveryController::selectionChanged);
    connect(m_bar, &PXSubFolderBarController::levelChanged, this, [this] {
        reloadTable();
        syncControls();
    });
    connect(m_bar, &PXSubFolderBarController::handedBack, this, &RecoveryController::becomeMainDelegate);
}

CacheLocations RecoveryController::locations() const {
    CacheLocations where = CacheLocations::current();
    where.homeFolder = m_context.homeFolder;
    where.uid = m_context.uid;
    if (m_context.services.mountedVolumes)
        where.localVolumes = m_context.services.mountedVolumes();
    return where;
}

std::vector<RecoveryItem> RecoveryController::readCurrentList() const {
    const double now = timeIntervalSinceReferenceDate();
    if (m_state.allDisks())
        return getAllCacheContentWithTimeLimitation(locations(), m_state.timeWindowSeconds(), now);
    return getCacheContent(homeCacheFolder(m_context.homeFolder), m_state.timeWindowSeconds(), now);
}

void RecoveryController::selectTag(QComboBox* popup, int tag) {
    const int index = popup->findData(tag);
    if (index >= 0)
        popup->setCurrentIndex(index);
}

int RecoveryController::selectedTag(const QComboBox* popup) const {
    return popup->currentData().toInt();
}

void RecoveryController::reloadTable() {
    m_model->reload();
    m_itemTable->clearSelection();
}

void RecoveryController::syncControls() {
    const RecoveryControls& controls = m_state.controls();
    const bool inFolder = m_bar->browser().isOpen();
    const bool hasSelection = !m_itemTable->selectedRowNumbers().empty();
    m_syncingWidgets = true;
    m_searchTF->setEnabled(controls.searchField && !inFolder);
    m_diskPopup->setEnabled(controls.diskPopup && !inFolder);
    m_timePopup->setEnabled(controls.timePopup && !inFolder);
    m_syncingWidgets = false;
    // Inside a cached folder nothing is deleted: its entries are not items of an index.
    m_emptyAllButton->setEnabled(controls.emptyAllButton && !inFolder && !m_busy);
    // A reload (a search, a re-read) drops the selection without telling the list state: what is
    // selected now decides, as for Recover.
    m_emptySelectionButton->setEnabled(controls.emptySelectionButton && hasSelection && !inFolder && !m_busy);
    m_recoverButton->setEnabled(hasSelection && !m_busy && (controls.recoverButton || inFolder));
    bool restorable = hasSelection && !inFolder && !m_busy;
    if (restorable) {
        for (const RecoveryItem& item : m_itemTable->selectedItems())
            restorable = restorable && item.originalPath.has_value();
    }
    m_restoreButton->setEnabled(restorable);
    m_previewButton->setEnabled(m_model->rowCount() > 0);
}

void RecoveryController::loadGUI() {
    if (m_bar->browser().isOpen()) {
        while (m_bar->browser().isOpen())
            m_bar->backAction();
    }
    const double now = timeIntervalSinceReferenceDate();
    m_state.loadGUI(getCacheContent(homeCacheFolder(m_context.homeFolder), 0.0, now), now);
    m_syncingWidgets = true;
    m_searchTF->clear();
    selectTag(m_diskPopup, m_state.diskTag());
    selectTag(m_timePopup, m_state.timeTag());
    m_syncingWidgets = false;
    reloadTable();
    syncControls();
}

void RecoveryController::changeDisplaySetting() {
    m_state.setTimeTag(selectedTag(m_timePopup));
    m_state.setDiskTag(selectedTag(m_diskPopup));
    m_state.changeDisplaySetting(readCurrentList());
    reloadTable();
    syncControls();
}

void RecoveryController::reloadCacheNotification() {
    m_state.reloadCacheNotification(readCurrentList());
    if (!m_bar->browser().isOpen())
        reloadTable();
    m_state.selectionChanged(0);
    syncControls();
}

void RecoveryController::updateSearch(const QString& value) {
    if (m_bar->browser().isOpen())
        return;
    m_state.updateSearch(value.toStdString());
    reloadTable();
    syncControls();
}

void RecoveryController::destroySearch() {
    m_state.destroySearch();
    m_syncingWidgets = true;
    m_searchTF->clear();
    m_syncingWidgets = false;
    reloadTable();
    syncControls();
}

void RecoveryController::tableviewDoubleClick(int row) {
    if (row < 0 || row >= m_model->rowCount())
        return;
    if (m_bar->browser().isOpen()) {
        const FolderEntry entry = m_bar->browser().currentDisplay()[static_cast<std::size_t>(row)];
        if (canEnter(entry.isFolder, entry.displayName))
            m_bar->enterItem(entry);
        m_itemTable->clearSelection();
        return;
    }
    const RecoveryItem item = m_state.row(static_cast<std::size_t>(row));
    if (m_state.doubleClick(static_cast<std::size_t>(row)))
        m_bar->loadItem(item);
    m_itemTable->clearSelection();
    syncControls();
}

void RecoveryController::becomeMainDelegate() {
    m_state.becomeMainDelegate();
    reloadTable();
    m_state.selectionChanged(0);
    syncControls();
}

void RecoveryController::selectionChanged() {
    const std::size_t selected = m_itemTable->selectedRowNumbers().size();
    m_state.selectionChanged(selected);
    syncControls();
    updatePreview();
}

QDialog* RecoveryController::genericProgressWin() const {
    return m_progress->genericProgressWin();
}

QLabel* RecoveryController::recoveryStatusTF() const {
    return m_progress->genericTF();
}

void RecoveryController::runInBackground(const QString& status, int steps,
                                         std::function<void(const std::function<void(int, const QString&)>&)> work,
                                         std::function<void()> done) {
    if (m_busy || m_progress->isBusy())
        return;
    m_busy = true;
    m_workerErrors.clear();
    m_workerDestinations.clear();
    syncControls();
    QPointer<RecoveryController> self(this);
    m_progress->run(
        status, steps,
        [work = std::move(work)](const PXProgressSheet::Report& report) {
            work([&report](int step, const QString& line) { report(step, -1, line); });
        },
        [self, done = std::move(done)] {
            if (!self)
                return;
            self->m_busy = false;
            self->m_lastErrors = self->m_workerErrors;
            self->m_lastDestinations = self->m_workerDestinations;
            done();
            self->syncControls();
            emit self->operationFinished();
        });
}

void RecoveryController::recoverSelection() {
    const std::vector<RecoveryItem> items = m_itemTable->selectedItems();
    if (items.empty() || m_busy)
        return;
    auto* dialog = new QFileDialog(m_window, text("200_Recover Choose Folder"));
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, text("200_Recover Choose Button"));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this,
            [this, items](const QString& folder) { recoverInto(items, folder.toStdString()); });
    dialog->open();
}

void RecoveryController::recoverInto(const std::vector<RecoveryItem>& items, const std::string& folder) {
    if (items.empty())
        return;
    const QString status = text("200_Recovery Status").arg(QString::fromStdString(items.front().displayName));
    runInBackground(
        status, static_cast<int>(items.size()),
        [this, items, folder](const std::function<void(int, const QString&)>& progress) {
            std::vector<CopyOutcome> outcomes = bw::recoverInFolder(
                items, folder, [&progress, total = items.size()](std::size_t index, const std::string& name) {
                    (void)total;
                    progress(static_cast<int>(index),
                             QString::fromStdString(appString("200_Recovery Status")).arg(QString::fromStdString(name)));
                });
            for (const CopyOutcome& outcome : outcomes) {
                keepOutcome(outcome);
            }
            progress(static_cast<int>(items.size()), {});
        },
        [this] {
            alertFirstError("200_Recovery Failed Title");
        });
}

void RecoveryController::restoreSelection() {
    const std::vector<RecoveryItem> items = m_itemTable->selectedItems();
    if (items.empty() || m_busy || m_bar->browser().isOpen())
        return;
    const QString status = text("200_Restore Status").arg(QString::fromStdString(items.front().displayName));
    runInBackground(
        status, static_cast<int>(items.size()),
        [this, items](const std::function<void(int, const QString&)>& progress) {
            for (std::size_t i = 0; i < items.size(); ++i) {
                progress(static_cast<int>(i), QString::fromStdString(appString("200_Restore Status"))
                                                  .arg(QString::fromStdString(items[i].displayName)));
                CopyOutcome outcome = restoreToOriginalPlace(items[i]);
                keepOutcome(outcome);
            }
            progress(static_cast<int>(items.size()), {});
        },
        [this] {
            alertFirstError("200_Restore Failed Title");
        });
}

bool RecoveryController::confirmDeletion(const char* messageKey) {
    // Cancel comes first: it is the default, and Return, Escape and closing the alert give it.
    auto alert = buildAlertBox(QMessageBox::Warning, text("200_Delete Item Alert Title"),
                               text("200_Delete Item Alert Title"),
                               {text("200_Delete Item Alert Cancel Button"), text("200_Delete Item Alert Delete Button")},
                               m_window);
    alert->setInformativeText(text(messageKey));
    alert->exec();
    return alertAnswer(*alert) == 1;
}

void RecoveryController::deleteSelection() {
    if (m_busy || m_bar->browser().isOpen())
        return;
    const std::vector<RecoveryItem> items = m_itemTable->selectedItems();
    if (items.empty())
        return;
    if (confirmDeletion("200_Delete Item Alert Message"))
        removeItems(items);
}

void RecoveryController::emptyAllItemDisplayed() {
    if (m_busy || m_bar->browser().isOpen())
        return;
    if (!confirmDeletion("200_Delete ALL Items Alert Message"))
        return;
    const std::vector<RecoveryItem> items = m_state.itemsDisplayedInTable();
    if (items.empty())
        return;
    removeItems(items);
}

void RecoveryController::removeItems(const std::vector<RecoveryItem>& items) {
    if (items.empty())
        return;
    runInBackground(
        text("200_Delete Status"), static_cast<int>(items.size()),
        [this, items](const std::function<void(int, const QString&)>& progress) {
            std::vector<RemovalOutcome> outcomes =
                bw::removeItems(items, [&progress](std::size_t index) { progress(static_cast<int>(index) + 1, {}); });
            for (std::size_t i = 0; i < outcomes.size(); ++i) {
                if (!outcomes[i].removed)
                    m_workerErrors.push_back(items[i].displayName + ": " + outcomes[i].error);
            }
        },
        [this] {
            // The agent's cache figures follow the deletion; the information tab too.
            m_context.bus.post(notif::kCacheUpdateSilent, std::nullopt, nullptr, false);
            reloadCacheNotification();
            emit infosNeedRefresh();
            alertFirstError("200_Delete Failed Title");
        });
}

void RecoveryController::keepOutcome(const CopyOutcome& outcome) {
    if (outcome.ok)
        m_workerDestinations.push_back(outcome.destination);
    else
        m_workerErrors.push_back(outcome.error);
}

void RecoveryController::alertFirstError(const char* titleKey) {
    if (!m_lastErrors.empty())
        runAlertBox(QMessageBox::Warning, text(titleKey), QString::fromStdString(m_lastErrors.front()),
                    {text("200_Alert OK Button")}, m_window);
}

void RecoveryController::togglePreview() {
    if (!m_preview) {
        m_preview = new PXPreviewWindow(m_cell, m_window);
        connect(m_preview, &PXPreviewWindow::moveSelection, this, &RecoveryController::movePreviewSelection);
    }
    if (m_preview->isVisible()) {
        m_preview->hide();
        return;
    }
    if (m_window) {
        const QRect frame = m_window->frameGeometry();
        m_preview->move(frame.right() + 8, frame.top());
    }
    updatePreview();
    m_preview->show();
    m_preview->raise();
}

void RecoveryController::updatePreview() {
    if (!m_preview)
        return;
    std::vector<TrashCacheItem> records;
    for (const RecoveryItem& item : m_itemTable->selectedItems())
        records.push_back({QString::fromStdString(item.rawItemPath), QString::fromStdString(item.displayName),
                           item.isFolder});
    m_preview->setItems(records);
}

void RecoveryController::movePreviewSelection(int delta) {
    const std::vector<int> rows = m_itemTable->selectedRowNumbers();
    int row = rows.empty() ? (delta > 0 ? 0 : m_model->rowCount() - 1) : (delta > 0 ? rows.back() : rows.front()) + delta;
    if (row < 0 || row >= m_model->rowCount())
        return;
    m_itemTable->selectRow(row);
    m_itemTable->scrollTo(m_model->index(row, 0));
}

} // namespace bw
