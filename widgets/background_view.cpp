#include "background_view.h"

#include <QLinearGradient>
#include <QPainter>

namespace bw {

PXBackgroundView::PXBackgroundView(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(false);
}

void PXBackgroundView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor base = palette().color(QPalette::Window);
    QLinearGradient shade(rect().topLeft(), rect().bottomLeft());
    shade.setColorAt(0.0, base.lighter(106));
    shade.setColorAt(1.0, base.darker(104));
    painter.fillRect(rect(), shade);
}

} // namespace bw
