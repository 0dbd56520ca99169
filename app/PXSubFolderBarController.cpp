#include "PXSubFolderBarController.h"

#include "app_strings.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace bw {

PXSubFolderBarController::PXSubFolderBarController(QWidget* parent) : QObject(parent) {
    m_bar = new QWidget(parent);
    m_bar->setObjectName("subFolderBar");
    m_bar->setAutoFillBackground(true);
    m_bar->setBackgroundRole(QPalette::AlternateBase);
    auto* layout = new QHBoxLayout(m_bar);
    layout->setContentsMargins(4, 2, 4, 2);
    m_backButton = new QPushButton(
        QIcon::fromTheme("go-previous", QApplication::style()->standardIcon(QStyle::SP_ArrowBack)),
        QString::fromStdString(appString("200_SubBar Back Button")), m_bar);
    m_pathTF = new QLabel(m_bar);
    m_pathTF->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_backButton);
    layout->addWidget(m_pathTF, 1);
    m_bar->hide();
    connect(m_backButton, &QPushButton::clicked, this, &PXSubFolderBarController::backAction);
}

void PXSubFolderBarController::showPath() {
    QString path = QString::fromStdString(m_browser.curPath().value_or(std::string()));
    QString line = QString::fromStdString(appString("200_SubBar display format")).arg(path);
    m_pathTF->setText(m_pathTF->fontMetrics().elidedText(line, Qt::ElideMiddle, std::max(200, m_pathTF->width())));
    m_pathTF->setToolTip(line);
}

void PXSubFolderBarController::loadItem(const RecoveryItem& item) {
    m_browser.loadItem(item);
    showPath();
    m_bar->show();
    emit levelChanged();
}

bool PXSubFolderBarController::enterItem(const FolderEntry& entry) {
    if (!m_browser.enterItem(entry))
        return false;
    showPath();
    emit levelChanged();
    return true;
}

void PXSubFolderBarController::backAction() {
    if (m_browser.backAction()) {
        showPath();
        emit levelChanged();
        return;
    }
    m_bar->hide();
    emit handedBack();
}

} // namespace bw
