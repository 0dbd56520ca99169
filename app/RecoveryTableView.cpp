#include "RecoveryTableView.h"

#include "PXRecoveryCell.h"
#include "RecoveryTableModel.h"
#include "app_strings.h"
#include "files/log_line.h"

#include <QContextMenuEvent>
#include <QDrag>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>

#include <algorithm>

namespace bw {

namespace {

QPixmap dragPixmap(const QIcon& icon, const QString& label, const QFont& font) {
    QFontMetrics metrics(font);
    const int labelWidth = std::min(metrics.horizontalAdvance(label) + 16, 360);
    const int height = std::max(32, metrics.height() + 8);
    QPixmap pixmap(32 + 6 + labelWidth, height);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    icon.paint(&painter, QRect(0, (height - 32) / 2, 32, 32));
    QPainterPath path;
    QRectF box(38, (height - metrics.height() - 6) / 2.0, labelWidth, metrics.height() + 6);
    path.addRoundedRect(box, box.height() / 2, box.height() / 2);
    painter.fillPath(path, QColor(56, 117, 215));
    painter.setPen(Qt::white);
    painter.setFont(font);
    painter.drawText(box, Qt::AlignCenter, metrics.elidedText(label, Qt::ElideRight, labelWidth - 12));
    return pixmap;
}

} // namespace

RecoveryTableView::RecoveryTableView(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setShowGrid(false);
    setAlternatingRowColors(true);
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(PXRecoveryCell::kRowHeight);
    setWordWrap(false);
    setDragEnabled(true);
    setAcceptDrops(false);
    setDragDropMode(QAbstractItemView::DragOnly);
    setDefaultDropAction(Qt::CopyAction);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_stagingTimer.setSingleShot(true);
    connect(&m_stagingTimer, &QTimer::timeout, this, &RecoveryTableView::scheduleStagingRemoval);
}

RecoveryTableView::~RecoveryTableView() = default;

std::vector<int> RecoveryTableView::selectedRowNumbers() const {
    std::vector<int> rows;
    if (!selectionModel())
        return rows;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<RecoveryItem> RecoveryTableView::selectedItems() const {
    std::vector<RecoveryItem> items;
    auto* recoveryModel = qobject_cast<RecoveryTableModel*>(model());
    if (!recoveryModel)
        return items;
    for (int row : selectedRowNumbers())
        items.push_back(recoveryModel->itemAt(row));
    return items;
}

QMimeData* RecoveryTableView::stageDrag(const std::vector<RecoveryItem>& items) {
    if (items.empty())
        return nullptr;
    std::optional<StagedDrag> staged = m_stagings.stage(items, dragStagingBases(items.front()));
    if (!staged)
        return nullptr;
    m_staging = staged->folder;
    QList<QUrl> urls;
    for (const std::string& path : staged->paths)
        urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path)));
    auto* mime = new QMimeData();
    mime->setUrls(urls);
    return mime;
}

void RecoveryTableView::endDrag() {
    if (m_staging.empty())
        return;
    m_stagings.removeNow(m_staging);
    m_staging.clear();
}

QString RecoveryTableView::dragLabel(const std::vector<RecoveryItem>& items) const {
    if (items.empty())
        return {};
    if (items.size() > 1)
        return QString::fromStdString(appString("200_Drag MultipleItems")).arg(items.size());
    return QString::fromStdString(items.front().displayName);
}

QPixmap RecoveryTableView::dragImage(const std::vector<RecoveryItem>& items) const {
    if (items.empty())
        return {};
    auto* cell = qobject_cast<PXRecoveryCell*>(itemDelegate());
    QIcon icon = cell ? cell->iconForKey(RecoveryTableModel::iconKey(items.front().displayName, items.front().isFolder))
                      : QIcon();
    return dragPixmap(icon, dragLabel(items), font());
}

QDrag* RecoveryTableView::prepareDrag(const std::vector<RecoveryItem>& items) {
    QMimeData* mime = stageDrag(items);
    if (!mime)
        return nullptr;
    auto* drag = new QDrag(this);
    drag->setMimeData(mime);
    const QPixmap image = dragImage(items);
    drag->setPixmap(image);
    drag->setHotSpot(QPoint(16, image.height() / 2));
    return drag;
}

void RecoveryTableView::finishDrag(QDrag* drag, Qt::DropAction result) {
    const std::string folder = m_staging;
    m_staging.clear();
    if (folder.empty())
        return;
    if (result == Qt::IgnoreAction || !drag) {
        // Nothing was dropped: no one will ask for the files.
        m_stagings.removeNow(folder);
        return;
    }
    m_stagings.release(folder, DragStaging::Clock::now() + m_maxKeep);
    // The timer is the context: it goes with this view's members, before the widget deletes its children.
    connect(drag, &QObject::destroyed, &m_stagingTimer, [this, folder] {
        m_stagings.release(folder, DragStaging::Clock::now() + m_linger);
        scheduleStagingRemoval();
    });
    scheduleStagingRemoval();
}

void RecoveryTableView::removeAllStagingFolders() {
    m_stagings.removeAll();
    m_staging.clear();
    m_stagingTimer.stop();
}

std::size_t RecoveryTableView::removeStagingLeftovers(const std::vector<std::string>& bases, uid_t uid) {
    return m_stagings.removeLeftovers(bases, uid);
}

void RecoveryTableView::setStagingDelays(std::chrono::milliseconds linger, std::chrono::milliseconds maxKeep) {
    m_linger = linger;
    m_maxKeep = maxKeep;
}

void RecoveryTableView::scheduleStagingRemoval() {
    const auto now = DragStaging::Clock::now();
    std::optional<DragStaging::Clock::time_point> next = m_stagings.removeDue(now);
    if (!next) {
        m_stagingTimer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    m_stagingTimer.start(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(1)));
}

void RecoveryTableView::startDrag(Qt::DropActions) {
    const std::vector<RecoveryItem> items = selectedItems();
    QDrag* drag = prepareDrag(items);
    if (!drag)
        return;
    // Copy only: a move would take the hard link itself, leaving the recovered file and the cache's copy
    // one and the same file.
    const Qt::DropAction result = drag->exec(Qt::CopyAction, Qt::CopyAction);
    finishDrag(drag, result);
}

void RecoveryTableView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        emit previewRequested();
        return;
    }
    QTableView::keyPressEvent(event);
}

void RecoveryTableView::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() == QContextMenuEvent::Keyboard) {
        // The menu key: the selection stays, the menu opens at the current row.
        const QRect row = visualRect(currentIndex());
        const QPoint at = row.isValid() ? row.center() : QPoint(0, 0);
        emit contextMenuWanted(viewport()->mapToGlobal(at));
        return;
    }
    // A click reaches the table through its viewport, in the viewport's coordinates.
    const QModelIndex index = indexAt(event->pos());
    if (index.isValid() && !selectionModel()->isRowSelected(index.row(), {}))
        selectRow(index.row());
    emit contextMenuWanted(event->globalPos());
}

} // namespace bw
