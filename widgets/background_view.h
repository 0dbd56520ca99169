#pragma once
// A window background: a soft vertical shade of the palette's window colour, so the Information tab's
// panel reads as one surface in light and dark themes alike.

#include <QWidget>

namespace bw {

class PXBackgroundView : public QWidget {
    Q_OBJECT
public:
    explicit PXBackgroundView(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace bw
