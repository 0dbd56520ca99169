#pragma once
// The Recovery table: one column of painted rows, several rows selectable, dragged out to a file
// manager as files under the names they had in the trash, never a drop target. The space bar asks for
// the preview.

#include "drag_staging.h"
#include "recovery_item.h"

#include <QPixmap>
#include <QTableView>
#include <QTimer>

#include <chrono>
#include <string>
#include <vector>

class QDrag;
class QMimeData;

namespace bw {

class RecoveryTableView : public QTableView {
    Q_OBJECT
public:
    explicit RecoveryTableView(QWidget* parent = nullptr);
    ~RecoveryTableView() override;

    // The selected rows, top to bottom, as items.
    std::vector<RecoveryItem> selectedItems() const;
    std::vector<int> selectedRowNumbers() const;

    // Puts the items into a fresh staging folder on the cache's own volume, each under a free name made
    // from its display name (a hard link for a file when the file system allows it, else a copy), and
    // answers the data offered to the drop target (text/uri-list of the staged items); null when nothing
    // could be staged. The folder stays until finishDrag lets it go, or endDrag.
    QMimeData* stageDrag(const std::vector<RecoveryItem>& items);
    // Removes the staging folder of the last drag at once.
    void endDrag();
    // The staging folder of the last drag (empty once it went).
    const std::string& stagingFolder() const { return m_staging; }
    // Every staging folder still kept for a drop target.
    std::vector<std::string> stagingFolders() const { return m_stagings.folders(); }

    // What a drag shows: the first item's name, or the count of items when there are several.
    QString dragLabel(const std::vector<RecoveryItem>& items) const;
    // The first item's icon beside that label, white on a rounded blue background.
    QPixmap dragImage(const std::vector<RecoveryItem>& items) const;
    // A drag of the items ready to run (staged, offered as text/uri-list, copy only, with its image);
    // null when nothing could be staged.
    QDrag* prepareDrag(const std::vector<RecoveryItem>& items);
    // After the drag: when nothing was dropped the staging folder goes at once. A drop target reads the
    // list when the drop happens but may copy later, after Qt let go of the drag object (the target said
    // it is done, or Qt gave up waiting): the folder stays `linger` past that, and no longer than `maxKeep`
    // after the drop in any case.
    void finishDrag(QDrag* drag, Qt::DropAction result);
    void removeAllStagingFolders();
    // Staging folders left behind by a program that stopped (see DragStaging::removeLeftovers).
    std::size_t removeStagingLeftovers(const std::vector<std::string>& bases, uid_t uid);
    void setStagingDelays(std::chrono::milliseconds linger, std::chrono::milliseconds maxKeep);

    static constexpr std::chrono::milliseconds kStagingLinger{std::chrono::minutes(5)};
    static constexpr std::chrono::milliseconds kStagingMaxKeep{std::chrono::minutes(15)};

signals:
    void previewRequested();
    void contextMenuWanted(const QPoint& globalPos);

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void scheduleStagingRemoval();

    DragStaging m_stagings;
    std::string m_staging;
    QTimer m_stagingTimer;
    std::chrono::milliseconds m_linger = kStagingLinger;
    std::chrono::milliseconds m_maxKeep = kStagingMaxKeep;
};

} // namespace bw
