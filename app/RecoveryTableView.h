#pragma once
// The Recovery table: one column of painted rows, several rows selectable, dragged out to a file
// manager as files under the names they had in the trash, never a drop target. The space bar asks for
// the preview.

#include "recovery_item.h"

#include <QTableView>

#include <string>
#include <vector>

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
    // could be staged. The folder stays until endDrag.
    QMimeData* stageDrag(const std::vector<RecoveryItem>& items);
    // Removes the staging folder of the last drag.
    void endDrag();
    const std::string& stagingFolder() const { return m_staging; }

signals:
    void previewRequested();
    void contextMenuWanted(const QPoint& globalPos);

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    std::string m_staging;
};

} // namespace bw
