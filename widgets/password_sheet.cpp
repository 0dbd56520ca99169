#include "password_sheet.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace bw {

PXPasswordSheet::PXPasswordSheet(bool confirming, const Texts& texts, QWidget* parent) : QDialog(parent, Qt::Sheet) {
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    m_title = new QLabel(this);
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    m_title->setWordWrap(true);
    m_message = new QLabel(this);
    m_message->setWordWrap(true);
    layout->addWidget(m_title);
    layout->addWidget(m_message);

    auto* fields = new QFormLayout();
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    fields->addRow(texts.passwordLabel, m_password);
    if (confirming) {
        m_confirm = new QLineEdit(this);
        m_confirm->setEchoMode(QLineEdit::Password);
        fields->addRow(texts.confirmationLabel, m_confirm);
    }
    layout->addLayout(fields);

    auto* buttons = new QDialogButtonBox(this);
    m_cancel = buttons->addButton(texts.cancel, QDialogButtonBox::RejectRole);
    m_ok = buttons->addButton(texts.ok, QDialogButtonBox::AcceptRole);
    m_ok->setDefault(true);
    layout->addWidget(buttons);
    connect(m_ok, &QPushButton::clicked, this, [this] { answer(true); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { answer(false); });
    setMinimumWidth(360);
}

void PXPasswordSheet::ask(const QString& title, const QString& message, std::function<void(bool ok)> answer) {
    m_answer = std::move(answer);
    m_title->setText(title);
    m_message->setText(message);
    setWindowTitle(title);
    clearFields();
    m_closing = false;
    open();
    m_password->setFocus();
}

QString PXPasswordSheet::password() const {
    return m_password->text();
}

QString PXPasswordSheet::confirmation() const {
    return m_confirm ? m_confirm->text() : QString();
}

void PXPasswordSheet::clearFields() {
    m_password->clear();
    if (m_confirm)
        m_confirm->clear();
    m_password->setFocus();
}

void PXPasswordSheet::dismiss() {
    m_closing = true;
    clearFields();
    QDialog::done(QDialog::Rejected);
}

void PXPasswordSheet::refuse() {
    clearFields();
    QApplication::beep();
    emit refused();
}

void PXPasswordSheet::answer(bool ok) {
    if (m_answer)
        m_answer(ok);
}

void PXPasswordSheet::reject() {
    // Escape: the same as Cancel; the owner decides whether the sheet closes.
    if (m_closing) {
        QDialog::reject();
        return;
    }
    answer(false);
}

void PXPasswordSheet::closeEvent(QCloseEvent* event) {
    if (isVisible() && !m_closing) {
        event->ignore();
        answer(false);
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace bw
