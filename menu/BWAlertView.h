#pragma once
// The content of the note window shown when no notification server answers: a grey rounded panel with
// a bold white text and the product icon.

#include <QIcon>
#include <QString>
#include <QWidget>

namespace bw {

class BWAlertView : public QWidget {
    Q_OBJECT
public:
    explicit BWAlertView(QWidget* parent = nullptr);

    QString text() const { return _text; }
    void setText(const QString& text);
    void set_icon(const QIcon& icon);
    // Loads the icon from a file; an empty path means no icon, the same path again does nothing.
    void setIconPath(const QString& path);
    bool hasIcon() const { return !_icon.isNull(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString _text;
    QIcon _icon;
    QString _iconPath;
};

} // namespace bw
