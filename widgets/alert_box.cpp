#include "alert_box.h"

#include <QPushButton>

namespace bw {

std::unique_ptr<QMessageBox> buildAlertBox(QMessageBox::Icon icon, const QString& title, const QString& message,
                                           const QStringList& buttons, QWidget* parent, int safeIndex) {
    auto box = std::make_unique<QMessageBox>(icon, title, message, QMessageBox::NoButton, parent);
    QStringList labels = buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : buttons;
    if (safeIndex < 0 || safeIndex >= labels.size())
        safeIndex = 0;
    QPushButton* safe = nullptr;
    for (int i = 0; i < labels.size(); ++i) {
        // Roles only place the buttons; the answer is read by position. The first button takes the
        // accept role so that the platform puts it where a default button belongs.
        auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::ActionRole;
        QPushButton* button = box->addButton(labels[i], role);
        button->setProperty("bwAlertIndex", i);
        if (i == safeIndex)
            safe = button;
    }
    box->setDefaultButton(safe);
    box->setEscapeButton(safe);
    box->setProperty("bwAlertSafeIndex", safeIndex);
    return box;
}

int alertAnswer(const QMessageBox& box) {
    const int safe = box.property("bwAlertSafeIndex").toInt();
    QAbstractButton* clicked = box.clickedButton();
    if (!clicked)
        return safe;
    bool ok = false;
    int index = clicked->property("bwAlertIndex").toInt(&ok);
    return ok ? index : safe;
}

int runAlertBox(QMessageBox::Icon icon, const QString& title, const QString& message, const QStringList& buttons,
                QWidget* parent, int safeIndex) {
    auto box = buildAlertBox(icon, title, message, buttons, parent, safeIndex);
    if (!parent)
        box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->raise();
    box->activateWindow();
    box->exec();
    return alertAnswer(*box);
}

} // namespace bw
