#pragma once
// Alerts whose buttons are added in a fixed order and answered by position. The first button is the
// default and also what Escape and the window's close button give: the first button of every alert
// is the safe one (Cancel, Don't quit, OK), so dismissing an alert never does the risky thing.

#include <QMessageBox>
#include <QStringList>

#include <memory>

namespace bw {

// Builds the alert without showing it; tests and sheets drive it themselves. `safeIndex` names the button
// that is the default and what dismissing gives, for alerts whose safe answer is not their first button
// (a question whose Cancel comes last); -1 keeps the first.
std::unique_ptr<QMessageBox> buildAlertBox(QMessageBox::Icon icon, const QString& title, const QString& message,
                                           const QStringList& buttons, QWidget* parent = nullptr, int safeIndex = -1);

// The position of the button that closed `box`: the safe button when it was dismissed.
int alertAnswer(const QMessageBox& box);

// Shows the alert modally and answers the position of the chosen button.
int runAlertBox(QMessageBox::Icon icon, const QString& title, const QString& message, const QStringList& buttons,
                QWidget* parent = nullptr, int safeIndex = -1);

} // namespace bw
