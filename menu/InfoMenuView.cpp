#include "InfoMenuView.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace bw {

InfoMenuView::InfoMenuView(QWidget* parent) : QWidget(parent) {
    setMinimumSize(2, 2);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void InfoMenuView::setText(const QString& title, const QString& body) {
    if (title.isEmpty() && body.isEmpty())
        return;
    _title = title;
    _body = body;
    QFontMetrics metrics(font());
    int lines = 1 + static_cast<int>(body.count('\n')) + (body.isEmpty() ? 0 : 1);
    setFixedHeight(metrics.lineSpacing() * lines + 8 + 8);
    updateGeometry();
    update();
}

QString InfoMenuView::text() const {
    if (_title.isEmpty() && _body.isEmpty())
        return {};
    return _title + "\n" + _body;
}

QSize InfoMenuView::sizeHint() const {
    QFontMetrics metrics(font());
    int width = metrics.horizontalAdvance(_title) + 40;
    for (const auto& line : _body.split('\n'))
        width = std::max(width, metrics.horizontalAdvance(line) + 40);
    return {std::max(width, 200), height()};
}

void InfoMenuView::paintEvent(QPaintEvent*) {
    if (_title.isEmpty() && _body.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QRectF panel(4, 2, width() - 8, height() - 4);
    QColor base(58, 87, 247);
    QLinearGradient gradient(panel.bottomLeft(), panel.topLeft());
    gradient.setColorAt(0.0, base);
    gradient.setColorAt(1.0, QColor::fromRgbF(base.redF() + (1 - base.redF()) * 0.4,
                                              base.greenF() + (1 - base.greenF()) * 0.4,
                                              base.blueF() + (1 - base.blueF()) * 0.4));
    QPainterPath path;
    path.addRoundedRect(panel, 9, 9);
    painter.fillPath(path, gradient);
    painter.setPen(QColor(47, 73, 236));
    painter.drawPath(path);

    QRect textArea(14, 4, width() - 28, height() - 8);
    QFontMetrics metrics(font());
    painter.setPen(Qt::white);
    QFont titleFont = font();
    titleFont.setUnderline(true);
    painter.setFont(titleFont);
    int y = textArea.top();
    painter.drawText(QRect(textArea.left(), y, textArea.width(), metrics.lineSpacing()), Qt::AlignHCenter, _title);
    painter.setFont(font());
    for (const auto& line : _body.split('\n')) {
        y += metrics.lineSpacing();
        painter.drawText(QRect(textArea.left(), y, textArea.width(), metrics.lineSpacing()), Qt::AlignLeft,
                         metrics.elidedText(line, Qt::ElideRight, textArea.width()));
    }
}

} // namespace bw
