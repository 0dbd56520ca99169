#pragma once
// The information block at the end of the tray menu: a blue rounded panel with a centred, underlined
// title and the size and disks lines.

#include <QString>
#include <QWidget>

namespace bw {

class InfoMenuView : public QWidget {
    Q_OBJECT
public:
    explicit InfoMenuView(QWidget* parent = nullptr);

    // Title line, then the body lines. Nothing is kept for an empty title and body.
    void setText(const QString& title, const QString& body);
    QString text() const; // title + "\n" + body, empty without text
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString _title;
    QString _body;
};

} // namespace bw
