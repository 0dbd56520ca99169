#include "PXUpdaterController.h"

#include "PXUpdater.h"
#include "desktop_session.h"
#include "updater_strings.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

#include <chrono>
#include <cmath>

namespace bw {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}
QString ustr(const char* key) {
    return qs(updaterString(key));
}

double monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

constexpr int kNotesGrowth = 300;

} // namespace

PXUpdaterController::PXUpdaterController(PXUpdater* master) : __master(master) {
    buildOfferWindow();
    buildProgressPanel();
}

PXUpdaterController::~PXUpdaterController() = default;

void PXUpdaterController::buildOfferWindow() {
    m_updateWaningWin = std::make_unique<QDialog>();
    QDialog* window = m_updateWaningWin.get();
    window->setWindowTitle(ustr("Updater_1.0_Update window title"));
    window->setObjectName(QStringLiteral("updateWaningWin"));

    imageView_ = new QLabel;
    // The product's icon from the desktop's theme, else from our own install tree.
    QIcon icon = QIcon::fromTheme(QStringLiteral("binwarden2"));
    QString ownIcon = qs(installRoot() + "/share/icons/hicolor/scalable/apps/binwarden2.svg");
    if (icon.isNull() && QFile::exists(ownIcon))
        icon = QIcon(ownIcon);
    if (icon.isNull())
        icon = window->style()->standardIcon(QStyle::SP_MessageBoxInformation);
    imageView_->setPixmap(icon.pixmap(64, 64));
    imageView_->setAlignment(Qt::AlignTop);

    titleTF_ = new QLabel;
    QFont bold = titleTF_->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.15);
    titleTF_->setFont(bold);
    titleTF_->setWordWrap(true);
    messageTF_ = new QLabel;
    messageTF_->setWordWrap(true);
    messageTF_->setMinimumWidth(380);

    disclosureButton_ = new QToolButton;
    disclosureButton_->setCheckable(true);
    disclosureButton_->setArrowType(Qt::RightArrow);
    disclosureButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    disclosureButton_->setAutoRaise(true);
    disclosureButton_->setText(ustr("Updater_1.0_Release notes"));
    QObject::connect(disclosureButton_, &QToolButton::toggled, this, [this](bool open) { disclosureChange(open); });

    releaseNotesView_ = new QTextBrowser;
    releaseNotesView_->setReadOnly(true);
    releaseNotesView_->setOpenExternalLinks(true);
    releaseNotesView_->setVisible(false);

    laterButton_ = new QPushButton(ustr("Updater_1.0_Later button"));
    installButton_ = new QPushButton(ustr("Updater_1.0_Install button"));
    laterButton_->setAutoDefault(false);
    installButton_->setDefault(true);
    QObject::connect(laterButton_, &QPushButton::clicked, this, [this] { warningAction(0); });
    QObject::connect(installButton_, &QPushButton::clicked, this, [this] { warningAction(1); });
    // Escape and the window's close button answer "not now".
    QObject::connect(window, &QDialog::rejected, this, [this] { warningAction(0); });

    auto* text = new QVBoxLayout;
    text->addWidget(titleTF_);
    text->addWidget(messageTF_);
    text->addWidget(disclosureButton_, 0, Qt::AlignLeft);
    text->addWidget(releaseNotesView_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(laterButton_);
    buttons->addWidget(installButton_);
    text->addLayout(buttons);
    auto* top = new QHBoxLayout(window);
    top->addWidget(imageView_, 0, Qt::AlignTop);
    top->addLayout(text, 1);

    window->adjustSize();
    __minSizeArchive = window->sizeHint().expandedTo(window->minimumSizeHint());
    window->setMinimumSize(__minSizeArchive);
    window->setMaximumSize(__minSizeArchive);
}

void PXUpdaterController::buildProgressPanel() {
    m_updatePanel = std::make_unique<QDialog>();
    QDialog* panel = m_updatePanel.get();
    panel->setObjectName(QStringLiteral("updatePanel"));
    panel->setWindowTitle(ustr("Updater_1.0_Update window title"));
    panel->setAttribute(Qt::WA_ShowWithoutActivating);
    statusTF_ = new QLabel;
    QFont bold = statusTF_->font();
    bold.setBold(true);
    statusTF_->setFont(bold);
    pBar_ = new QProgressBar;
    pBar_->setTextVisible(false);
    pBar_->setMinimumWidth(360);
    progresssTF_ = new QLabel;
    QFont small = progresssTF_->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    progresssTF_->setFont(small);
    cancelButton_ = new QPushButton(ustr("Updater_1.0_Cancel button"));
    cancelButton_->setEnabled(false);
    QObject::connect(cancelButton_, &QPushButton::clicked, this, [this] { cancelUpdate(); });
    // Closing the panel while downloading cancels, as the button does.
    QObject::connect(panel, &QDialog::rejected, this, [this] {
        if (cancelButton_->isEnabled())
            cancelUpdate();
    });

    auto* layout = new QVBoxLayout(panel);
    layout->addWidget(statusTF_);
    layout->addWidget(pBar_);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(progresssTF_, 1);
    bottom->addWidget(cancelButton_);
    layout->addLayout(bottom);
    panel->adjustSize();
}

void PXUpdaterController::showAskUpdate(const UpdateInfos& infos, bool canInstall) {
    _updateInfos = infos;
    std::string local = __master ? __master->localVersion() : std::string();
    QString message;
    if (!local.empty() && !infos.currentVersion.empty()) {
        message = ustr("Updater_1.0_NewVersionCheckTextWithVersions");
        message.replace(QStringLiteral("^curVersion_"), qs(local));
        message.replace(QStringLiteral("^newVersion_"), qs(infos.currentVersion));
    } else {
        message = ustr("Updater_1.0_NewVersionCheckGoToButton");
    }
    if (!canInstall)
        message += QStringLiteral("\n\n") + ustr("Updater_1.0_System copy message");
    titleTF_->setText(ustr("Updater_1.0_NewVersionCheckTitle"));
    messageTF_->setText(message);
    installButton_->setText(canInstall ? ustr("Updater_1.0_Install button") : ustr("Updater_1.0_Open page button"));

    if (!m_notesLoaded && __master) {
        m_notesLoaded = true;
        releaseNotesView_->setPlainText(QString());
        __master->loadReleaseNotes([this](std::optional<QString> notes) {
            if (!notes)
                releaseNotesView_->setPlainText(ustr("Updater_1.0_ImpossibleToDownloadRN"));
            else if (notes->contains(QLatin1String("<html"), Qt::CaseInsensitive) ||
                     notes->contains(QLatin1String("<p"), Qt::CaseInsensitive))
                releaseNotesView_->setHtml(*notes);
            else
                releaseNotesView_->setMarkdown(*notes);
            releaseNotesView_->moveCursor(QTextCursor::Start);
        });
    }

    QDialog* window = m_updateWaningWin.get();
    window->adjustSize();
    __minSizeArchive = window->sizeHint().expandedTo(window->minimumSizeHint());
    if (!disclosureButton_->isChecked()) {
        window->setMinimumSize(__minSizeArchive);
        window->setMaximumSize(__minSizeArchive);
        window->resize(__minSizeArchive);
    }
    if (QScreen* screen = QGuiApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - window->rect().center());
    window->show();
    window->raise();
    window->activateWindow();
}

void PXUpdaterController::warningAction(int tag) {
    if (m_answering)
        return;
    m_answering = true;
    m_updateWaningWin->hide();
    disclosureButton_->setChecked(false);
    shrinkWindow();
    m_answering = false;
    if (__master)
        __master->controllerResult(tag == 1 ? 1 : 0);
}

void PXUpdaterController::disclosureChange(bool open) {
    disclosureButton_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    if (!open) {
        shrinkWindow();
        return;
    }
    QDialog* window = m_updateWaningWin.get();
    window->setMaximumSize(__minSizeArchive + QSize(1000, 1000));
    window->setMinimumSize(__minSizeArchive + QSize(0, 50));
    releaseNotesView_->setVisible(true);
    resizeOffer(window->height() + kNotesGrowth, window->isVisible());
}

void PXUpdaterController::shrinkWindow() {
    QDialog* window = m_updateWaningWin.get();
    releaseNotesView_->setVisible(false);
    window->setMinimumSize(__minSizeArchive);
    resizeOffer(__minSizeArchive.height(), false);
    window->setMaximumSize(__minSizeArchive);
}

void PXUpdaterController::resizeOffer(int height, bool animated) {
    QDialog* window = m_updateWaningWin.get();
    QSize target(window->width(), height);
    if (!animated) {
        window->resize(target);
        return;
    }
    auto* animation = new QPropertyAnimation(window, "size", window);
    animation->setDuration(200);
    animation->setEndValue(target);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void PXUpdaterController::showProgress() {
    QDialog* panel = m_updatePanel.get();
    pBar_->setValue(0);
    progresssTF_->clear();
    cancelButton_->setEnabled(false);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        panel->move(screen->availableGeometry().center() - panel->rect().center());
    panel->show();
}

void PXUpdaterController::hideProgress() {
    _downloadStartTime.reset();
    cancelButton_->setEnabled(false);
    m_updatePanel->hide();
}

void PXUpdaterController::cancelUpdate() {
    _downloadStartTime.reset();
    cancelButton_->setEnabled(false);
    if (__master)
        __master->cancelUpdate();
    m_updatePanel->hide();
}

void PXUpdaterController::setStatus(const QString& status) {
    statusTF_->setText(status);
}

void PXUpdaterController::setProgressBarIndeterminate(bool indeterminate) {
    if (indeterminate) {
        _downloadStartTime.reset();
        progresssTF_->clear();
        pBar_->setRange(0, 0); // a busy bar
    } else {
        pBar_->setRange(0, 1000);
    }
}

void PXUpdaterController::setProgressBarIndeterminate(bool indeterminate, double minValue, double maxValue,
                                                      double currentValue) {
    setProgressBarIndeterminate(indeterminate);
    if (indeterminate)
        return;
    m_barMax = std::max(0.0, maxValue - minValue);
    m_barValue = std::max(0.0, currentValue - minValue);
    pBar_->setValue(m_barMax > 0 ? static_cast<int>(m_barValue / m_barMax * 1000) : 0);
}

void PXUpdaterController::setDownloadStartTime() {
    setDownloadStartTime(0);
}

void PXUpdaterController::setDownloadStartTime(double secondsAgo) {
    _downloadStartTime = monotonicSeconds() - secondsAgo;
    _previousSecondsLasting = 99999;
}

void PXUpdaterController::incrementProgressBarValue(double bytes) {
    cancelButton_->setEnabled(true);
    double before = m_barValue;
    m_barValue += bytes;
    if (m_barMax <= 0) {
        progresssTF_->setText(ustr("Updater_1.0_Download Progress unknown size").arg(m_barValue / 1e6, 0, 'f', 1));
        return;
    }
    pBar_->setValue(static_cast<int>(std::min(m_barValue, m_barMax) / m_barMax * 1000));
    double elapsed = _downloadStartTime ? monotonicSeconds() - *_downloadStartTime : 0;
    QString done = QString::number(before / 1e6, 'f', 1), total = QString::number(m_barMax / 1e6, 'f', 1);
    if (_downloadStartTime && elapsed > 3) {
        _previousSecondsLasting = remainingDownloadSeconds(elapsed, before, m_barMax, _previousSecondsLasting);
        progresssTF_->setText(ustr("Updater_1.0_Download Progress format with time")
                                  .arg(done, total, QString::number(static_cast<long long>(_previousSecondsLasting))));
    } else {
        progresssTF_->setText(ustr("Updater_1.0_Download Progress format").arg(done, total));
    }
}

} // namespace bw
