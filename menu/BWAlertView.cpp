#include "BWAlertView.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace bw {

namespace {

QColor shaded(double grey, double amount) {
    double value = grey * (1.0 - amount);
    return QColor::fromRgbF(value, value, value);
}

} // namespace

BWAlertView::BWAlertView(QWidget* parent) : QWidget(parent) {}

void BWAlertView::setText(const QString& text) {
    _text = text;
    update();
}

void BWAlertView::set_icon(const QIcon& icon) {
    _icon = icon;
    update();
}

void BWAlertView::setIconPath(const QString& path) {
    if (path == _iconPath)
        return;
    _iconPath = path;
    _icon = path.isEmpty() ? QIcon() : QIcon(path);
    update();
}

void BWAlertView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(0, height(), 0, 0);
    gradient.setColorAt(0.0, shaded(0.82, 0.4));
    gradient.setColorAt(0.5, shaded(0.82, 0.7));
    gradient.setColorAt(0.51, shaded(0.99, 0.4));
    gradient.setColorAt(1.0, shaded(0.99, 0.3));
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 6, 6);
    painter.fillPath(path, gradient);

    QFont bold = font();
    bold.setBold(true);
    bold.setPointSize(12);
    painter.setFont(bold);
    painter.setPen(Qt::white);
    QFontMetrics metrics(bold);
    // The text sits at the bottom, the icon above it.
    painter.drawText(QRect(0, height() - 8 - metrics.height(), width(), metrics.height()), Qt::AlignHCenter, _text);
    if (!_icon.isNull()) {
        int side = 48;
        int bottom = height() / 2 + 16;
        QRect iconRect((width() - side) / 2, std::max(0, bottom - side), side, side);
        painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
        _icon.paint(&painter, iconRect);
    }
}

} // namespace bw
