#include "maintenance_alert.h"

#include "alert_box.h"

#include <QLabel>

namespace bw {

namespace {

QString text(const std::string& key) {
    return QString::fromStdString(maintenanceString(key));
}

} // namespace

std::unique_ptr<QMessageBox> buildMaintenanceAlert(QMessageBox::Icon icon, const AlertText& alert,
                                                   const QString& message, QWidget* parent, int safeIndex) {
    QStringList buttons;
    for (const auto& key : alert.buttonKeys)
        buttons << text(key);
    // The question in bold, the explanation below it: window titles are not shown by every desktop.
    auto box = buildAlertBox(icon, text(alert.titleKey), text(alert.titleKey), buttons, parent, safeIndex);
    box->setInformativeText(message.isEmpty() ? text(alert.messageKey) : message);
    // Wide enough for a path or a command on one line, instead of a narrow column of broken lines.
    if (auto* informative = box->findChild<QLabel*>("qt_msgbox_informativelabel"))
        informative->setMinimumWidth(360);
    return box;
}

int runMaintenanceAlert(QMessageBox::Icon icon, const AlertText& alert, const QString& message, QWidget* parent,
                        int safeIndex) {
    auto box = buildMaintenanceAlert(icon, alert, message, parent, safeIndex);
    box->exec();
    return alertAnswer(*box);
}

} // namespace bw
