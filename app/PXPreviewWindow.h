#pragma once
// The preview beside the main window: the selected cached items one at a time, read in place (nothing
// is copied out of the cache). Images are shown as images, text files as text (up to 1 MiB), anything
// else as its icon, name, size and type. Up and Down move the table's selection; Left and Right step
// through the selected items.

#include "recovery_item.h"

#include <QWidget>

#include <vector>

class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace bw {

class PXRecoveryCell;

// One previewed item.
struct TrashCacheItem {
    QString path;        // inside the cache
    QString displayName; // the name it had in the trash
    bool isFolder = false;
};

class PXPreviewWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr qint64 kTextLimit = 1024 * 1024;

    PXPreviewWindow(PXRecoveryCell* icons, QWidget* parent = nullptr);

    void setItems(const std::vector<TrashCacheItem>& items);
    const std::vector<TrashCacheItem>& items() const { return m_items; }
    int currentIndex() const { return m_current; }
    void showIndex(int index);

    // What is shown: "image", "text" or "info".
    QString shownKind() const { return m_kind; }
    QString shownName() const;

signals:
    // Up (-1) or Down (+1) pressed: the table moves its selection.
    void moveSelection(int delta);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showCurrent();

    PXRecoveryCell* m_icons;
    std::vector<TrashCacheItem> m_items;
    int m_current = -1;
    QString m_kind;
    QStackedWidget* m_stack = nullptr;
    QLabel* m_image = nullptr;
    QPlainTextEdit* m_text = nullptr;
    QLabel* m_infoIcon = nullptr;
    QLabel* m_infoText = nullptr;
    QLabel* m_caption = nullptr;
};

} // namespace bw
