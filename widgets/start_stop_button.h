#pragma once
// The Information tab's big Start/Stop button: image above title, and a text colour of its own (green to
// start, red to stop).

#include <QPushButton>

namespace bw {

class PXStartStopButton : public QPushButton {
    Q_OBJECT
public:
    explicit PXStartStopButton(QWidget* parent = nullptr);

    void setTextColor(const QColor& color);
    QColor textColor() const { return m_textColor; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_textColor;
};

} // namespace bw
