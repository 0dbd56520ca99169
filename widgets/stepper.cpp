#include "stepper.h"

#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace bw {

PXStepper::PXStepper(int minimum, int maximum, int step, QWidget* parent)
    : QWidget(parent), m_minimum(minimum), m_maximum(maximum), m_step(step), m_value(minimum) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_up = new QToolButton(this);
    m_up->setArrowType(Qt::UpArrow);
    m_down = new QToolButton(this);
    m_down->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {m_up, m_down}) {
        button->setAutoRepeat(true);
        button->setFixedSize(18, 12);
        layout->addWidget(button);
    }
    connect(m_up, &QToolButton::clicked, this, [this] { stepBy(1); });
    connect(m_down, &QToolButton::clicked, this, [this] { stepBy(-1); });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PXStepper::setValue(int value) {
    m_value = std::clamp(value, m_minimum, m_maximum);
}

void PXStepper::stepBy(int steps) {
    setValue(m_value + steps * m_step);
    emit stepped(m_value);
}

} // namespace bw
