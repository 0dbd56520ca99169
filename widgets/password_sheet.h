#pragma once
// A password sheet on the main window: a message, one secure field (asking) or two (choosing a password),
// OK and Cancel. It stays open until its owner closes it; a refused entry clears the fields and beeps.
// Whoever shows it routes its buttons anew each time, so one sheet can serve several controllers.

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace bw {

class PXPasswordSheet : public QDialog {
    Q_OBJECT
public:
    struct Texts {
        QString passwordLabel, confirmationLabel, ok, cancel;
    };
    // `confirming`: a second field to type the password again.
    PXPasswordSheet(bool confirming, const Texts& texts, QWidget* parent);

    // Shows the sheet window-modal on its parent with the fields cleared; `answer` gets true for OK and
    // false for Cancel (also Escape and the close button). The sheet stays open until dismiss().
    void ask(const QString& title, const QString& message, std::function<void(bool ok)> answer);

    // Closes the sheet and clears its fields.
    void dismiss();

    QString password() const;
    QString confirmation() const;
    void clearFields();
    // Clears the fields, beeps and keeps the sheet open.
    void refuse();

    QLineEdit* passwordField() const { return m_password; }
    QLineEdit* confirmationField() const { return m_confirm; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

signals:
    void refused();

protected:
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    void answer(bool ok);

    QLabel* m_title = nullptr;
    QLabel* m_message = nullptr;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_confirm = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    std::function<void(bool)> m_answer;
    bool m_closing = false;
};

} // namespace bw
