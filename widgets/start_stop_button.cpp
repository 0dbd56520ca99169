#include "start_stop_button.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace bw {

PXStartStopButton::PXStartStopButton(QWidget* parent) : QPushButton(parent) {
    setIconSize(QSize(64, 64));
    QFont bigger = font();
    bigger.setPointSizeF(bigger.pointSizeF() * 1.25);
    bigger.setBold(true);
    setFont(bigger);
    m_textColor = palette().color(QPalette::ButtonText);
}

void PXStartStopButton::setTextColor(const QColor& color) {
    m_textColor = color;
    update();
}

QSize PXStartStopButton::sizeHint() const {
    QFontMetrics metrics(font());
    int textWidth = std::max(metrics.horizontalAdvance(text()), metrics.horizontalAdvance(QStringLiteral("MMMMMM")));
    int width = std::max(iconSize().width(), textWidth) + 48;
    int height = iconSize().height() + metrics.height() + 28;
    return {width, height};
}

void PXStartStopButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    // The frame and its pressed or hovered look come from the style; image and title are laid out here.
    option.text.clear();
    option.icon = QIcon();
    painter.drawControl(QStyle::CE_PushButtonBevel, option);

    QRect area = rect().adjusted(8, 8, -8, -8);
    QFontMetrics metrics(font());
    QRect iconRect(area.center().x() - iconSize().width() / 2, area.top() + 4, iconSize().width(), iconSize().height());
    QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    icon().paint(&painter, iconRect, Qt::AlignCenter, mode);
    QRect textRect(area.left(), iconRect.bottom() + 4, area.width(), metrics.height() + 4);
    QColor color = isEnabled() ? m_textColor : palette().color(QPalette::Disabled, QPalette::ButtonText);
    painter.setPen(color);
    painter.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop, text());
}

} // namespace bw
