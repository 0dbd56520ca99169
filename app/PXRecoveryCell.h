#pragma once
// Paints one row of the Recovery table: the type's icon at 28 × 28, the name cut at its tail, and the
// information line in the small font below it. Icons are kept by type, so a long list loads few.

#include <QHash>
#include <QIcon>
#include <QStyledItemDelegate>

namespace bw {

class PXRecoveryCell : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit PXRecoveryCell(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The icon of a type (a MIME name, "inode/directory" for a plain folder), from the icon theme.
    QIcon iconForKey(const QString& key) const;
    int cachedIconCount() const { return static_cast<int>(m_icons.size()); }

    static constexpr int kRowHeight = 36;
    static constexpr int kIconSize = 28;

private:
    mutable QHash<QString, QIcon> m_icons;
};

} // namespace bw
