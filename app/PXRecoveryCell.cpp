#include "PXRecoveryCell.h"

#include "RecoveryTableModel.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMimeDatabase>
#include <QPainter>
#include <QStyle>

namespace bw {

PXRecoveryCell::PXRecoveryCell(QObject* parent) : QStyledItemDelegate(parent) {}

QIcon PXRecoveryCell::iconForKey(const QString& key) const {
    auto found = m_icons.constFind(key);
    if (found != m_icons.constEnd())
        return *found;
    QStyle* style = QApplication::style();
    QIcon icon;
    if (key == QLatin1String("inode/directory")) {
        icon = QIcon::fromTheme("folder", style->standardIcon(QStyle::SP_DirIcon));
    } else {
        static QMimeDatabase database;
        QMimeType type = database.mimeTypeForName(key);
        QIcon generic = QIcon::fromTheme(type.isValid() ? type.genericIconName() : QString("text-x-generic"),
                                         style->standardIcon(QStyle::SP_FileIcon));
        icon = type.isValid() ? QIcon::fromTheme(type.iconName(), generic) : generic;
    }
    m_icons.insert(key, icon);
    return icon;
}

QSize PXRecoveryCell::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {option.rect.width(), kRowHeight};
}

void PXRecoveryCell::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.icon = QIcon();
    QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);

    const bool selected = option.state & QStyle::State_Selected;
    const QRect rect = option.rect;
    const int iconTop = rect.top() + (rect.height() - kIconSize) / 2;
    QIcon icon = iconForKey(index.data(RecoveryTableModel::IconKeyRole).toString());
    icon.paint(painter, QRect(rect.left() + 6, iconTop, kIconSize, kIconSize));

    const int textLeft = rect.left() + 6 + kIconSize + 8;
    const int textWidth = std::max(0, rect.right() - textLeft - 6);
    const QString title = index.data(Qt::DisplayRole).toString();
    const QString info = index.data(RecoveryTableModel::InfoLineRole).toString();

    painter->save();
    const QPalette::ColorGroup group = option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
    QColor titleColour = option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    QColor infoColour = selected ? titleColour : option.palette.color(group, QPalette::PlaceholderText);

    QFont titleFont = option.font;
    QFontMetrics titleMetrics(titleFont);
    QFont smallFont = option.font;
    smallFont.setPointSizeF(std::max(6.0, option.font.pointSizeF() * 0.85));
    QFontMetrics smallMetrics(smallFont);

    const int block = info.isEmpty() ? titleMetrics.height() : titleMetrics.height() + smallMetrics.height();
    int y = rect.top() + (rect.height() - block) / 2;
    painter->setFont(titleFont);
    painter->setPen(titleColour);
    painter->drawText(QRect(textLeft, y, textWidth, titleMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      titleMetrics.elidedText(title, Qt::ElideRight, textWidth));
    if (!info.isEmpty()) {
        y += titleMetrics.height();
        painter->setFont(smallFont);
        painter->setPen(infoColour);
        painter->drawText(QRect(textLeft, y, textWidth, smallMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                          smallMetrics.elidedText(info, Qt::ElideRight, textWidth));
    }
    painter->restore();
}

} // namespace bw
