#include "alert_box.h"

#include <QPushButton>

namespace bw {

std::unique_ptr<QMessageBox> buildAlertBox(QMessageBox::Icon icon, const QString& title, const QString& message,
                                           const QStringList& buttons, QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(icon, title, message, QMessageBox::NoButton, parent);
    QStringList labels = buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : buttons;
    QPushButton* first = nullptr;
    for (int i = 0; i < labels.size(); ++i) {
        // Roles only place the buttons; the answer is read by position. The first button takes the
        // accept role so that the platform puts it where a default button belongs.
        auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::ActionRole;
        QPushButton* button = box->addButton(labels[i], role);
        button->setProperty("bwAlertIndex", i);
        if (i == 0)
            first = button;
    }
    box->setDefaultButton(first);
    box->setEscapeButton(first);
    return box;
}

int alertAnswer(const QMessageBox& box) {
    QAbstractButton* clicked = box.clickedButton();
    if (!clicked)
        return 0;
    bool ok = false;
    int index = clicked->property("bwAlertIndex").toInt(&ok);
    return ok ? index : 0;
}

int runAlertBox(QMessageBox::Icon icon, const QString& title, const QString& message, const QStringList& buttons,
                QWidget* parent) {
    auto box = buildAlertBox(icon, title, message, buttons, parent);
    if (!parent)
        box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->raise();
    box->activateWindow();
    box->exec();
    return alertAnswer(*box);
}

} // namespace bw
