#include "tab_button.h"

namespace bw {

PXTabButton::PXTabButton(int tag, const QString& title, const QIcon& icon, QWidget* parent)
    : QToolButton(parent), m_tag(tag) {
    setText(title);
    setIcon(icon);
    setIconSize(QSize(32, 32));
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    setAutoRaise(true); // flat until hovered: the roll-over look
    setCheckable(true);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    connect(this, &QToolButton::clicked, this, [this] { emit tabPressed(m_tag); });
}

void PXTabButton::nextCheckState() {
    // The window turns the buttons on and off itself; a click does not toggle the look on its own.
}

} // namespace bw
