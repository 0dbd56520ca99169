#pragma once
// A pair of small up and down arrows that step a number, shown beside the text field it belongs to.

#include <QWidget>

class QToolButton;

namespace bw {

class PXStepper : public QWidget {
    Q_OBJECT
public:
    PXStepper(int minimum, int maximum, int step, QWidget* parent = nullptr);

    int value() const { return m_value; }
    // Clamped to the range; emits nothing.
    void setValue(int value);

signals:
    // The user stepped: the new value.
    void stepped(int value);

private:
    void stepBy(int steps);

    int m_minimum, m_maximum, m_step;
    int m_value = 0;
    QToolButton* m_up = nullptr;
    QToolButton* m_down = nullptr;
};

} // namespace bw
