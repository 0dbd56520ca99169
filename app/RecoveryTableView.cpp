#include "RecoveryTableView.h"

#include "PXRecoveryCell.h"
#include "RecoveryTableModel.h"
#include "app_strings.h"
#include "files/log_line.h"
#include "recovery_copy.h"

#include <QContextMenuEvent>
#include <QDrag>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace bw {

namespace {

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A private folder for one drag: beside the item's batch in its cache (same volume, so a hard link
// works), else in the user's runtime folder.
std::string makeStagingFolder(const RecoveryItem& first) {
    std::vector<std::string> candidates;
    std::string cache = parentOf(first.batchFolder);
    // Inside a browsed folder the batch is further up; the cache folder holds the batch folders.
    for (std::string folder = first.batchFolder; folder.size() > 1; folder = parentOf(folder)) {
        std::error_code error;
        if (std::filesystem::exists(folder + "/CacheIndex.bw2idx", error)) {
            cache = parentOf(folder);
            break;
        }
    }
    candidates.push_back(cache);
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        candidates.emplace_back(runtime);
    candidates.emplace_back("/tmp");
    for (const std::string& base : candidates) {
        std::string templ = base + "/.bw2-drag-XXXXXX";
        if (mkdtemp(templ.data()))
            return templ;
    }
    bw::logLine(LOG_ERR, "no staging folder for a drag");
    return {};
}

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
}

RecoveryTableView::~RecoveryTableView() {
    endDrag();
}

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
    endDrag();
    if (items.empty())
        return nullptr;
    m_staging = makeStagingFolder(items.front());
    if (m_staging.empty())
        return nullptr;
    std::vector<std::string> names;
    for (const RecoveryItem& item : items)
        names.push_back(safeFileName(item.displayName));
    const std::vector<std::string> targets = dropNames(m_staging, names);
    QList<QUrl> urls;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string target = m_staging + "/" + targets[i];
        bool staged = false;
        if (!items[i].isFolder) {
            struct stat st {};
            staged = lstat(items[i].rawItemPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                     link(items[i].rawItemPath.c_str(), target.c_str()) == 0;
        }
        if (!staged) {
            // Locked items cannot be linked; a copy (reflinked where the file system can) stands in.
            CopyOutcome outcome = recoverItemTo(items[i], m_staging, targets[i]);
            if (!outcome.ok) {
                bw::logLine(LOG_ERR, "cannot stage %s for a drag (%s)", items[i].displayName.c_str(),
                            outcome.error.c_str());
                continue;
            }
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(outcome.destination)));
            continue;
        }
        urls.push_back(QUrl::fromLocalFile(QString::fromStdString(target)));
    }
    if (urls.isEmpty()) {
        endDrag();
        return nullptr;
    }
    auto* mime = new QMimeData();
    mime->setUrls(urls);
    return mime;
}

void RecoveryTableView::endDrag() {
    if (m_staging.empty())
        return;
    std::error_code error;
    std::filesystem::remove_all(m_staging, error);
    if (error)
        bw::logLine(LOG_ERR, "cannot remove the drag folder %s (%s)", m_staging.c_str(), error.message().c_str());
    m_staging.clear();
}

void RecoveryTableView::startDrag(Qt::DropActions) {
    const std::vector<RecoveryItem> items = selectedItems();
    QMimeData* mime = stageDrag(items);
    if (!mime)
        return;
    auto* drag = new QDrag(this);
    drag->setMimeData(mime);
    auto* recoveryModel = qobject_cast<RecoveryTableModel*>(model());
    auto* cell = qobject_cast<PXRecoveryCell*>(itemDelegate());
    QIcon icon = cell && recoveryModel
                     ? cell->iconForKey(RecoveryTableModel::iconKey(items.front().displayName, items.front().isFolder))
                     : QIcon();
    QString label = items.size() > 1
                        ? QString::fromStdString(appString("200_Drag MultipleItems")).arg(items.size())
                        : QString::fromStdString(items.front().displayName);
    drag->setPixmap(dragPixmap(icon, label, font()));
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
    endDrag();
}

void RecoveryTableView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        emit previewRequested();
        return;
    }
    QTableView::keyPressEvent(event);
}

void RecoveryTableView::contextMenuEvent(QContextMenuEvent* event) {
    const QModelIndex index = indexAt(viewport()->mapFrom(this, event->pos()));
    if (index.isValid() && !selectionModel()->isRowSelected(index.row(), {}))
        selectRow(index.row());
    emit contextMenuWanted(event->globalPos());
}

} // namespace bw
