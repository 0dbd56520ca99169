#pragma once
// The maintenance alerts (delete every cache, uninstall, folders left behind, the first version) as the
// window shows them: the title in bold, the message below it, the buttons in their fixed order.

#include "maintenance_strings.h"

#include <QMessageBox>
#include <QString>

#include <memory>

namespace bw {

// `message` empty = the alert's own message text. `safeIndex` is the default and what dismissing gives.
std::unique_ptr<QMessageBox> buildMaintenanceAlert(QMessageBox::Icon icon, const AlertText& alert,
                                                   const QString& message, QWidget* parent, int safeIndex = 0);

// Shows it modally and answers the position of the button chosen.
int runMaintenanceAlert(QMessageBox::Icon icon, const AlertText& alert, const QString& message, QWidget* parent,
                        int safeIndex = 0);

} // namespace bw
