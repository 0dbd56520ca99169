#pragma once
// The updater's two windows: the offer (title, message, release notes behind a disclosure button, the
// two answers) and the download progress panel (status, bar, amount and remaining time, Cancel).

#include "update_check.h"

#include <QObject>
#include <QSize>
#include <QString>

#include <memory>
#include <optional>

class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;
class QToolButton;

namespace bw {

class PXUpdater;

class PXUpdaterController : public QObject {
    Q_OBJECT
public:
    explicit PXUpdaterController(PXUpdater* master);
    ~PXUpdaterController() override;

    void setMaster(PXUpdater* master) { __master = master; }

    // Shows the offer. `canInstall` false: this copy belongs to a package; the offer says so and its
    // button opens the download page instead.
    void showAskUpdate(const UpdateInfos& infos, bool canInstall = true);
    // The offer's answer buttons: tag 1 = install, 0 = not now (also Escape and closing the window).
    void warningAction(int tag);
    void disclosureChange(bool open);
    void shrinkWindow();

    void showProgress();
    void hideProgress();
    void cancelUpdate();
    void setStatus(const QString& status);
    void setProgressBarIndeterminate(bool indeterminate);
    void setProgressBarIndeterminate(bool indeterminate, double minValue, double maxValue, double currentValue);
    void setDownloadStartTime();
    // `seconds` moves the start time back (tests and pictures show a download under way).
    void setDownloadStartTime(double secondsAgo);
    void incrementProgressBarValue(double bytes);

    QDialog* updateWaningWin() const { return m_updateWaningWin.get(); }
    QDialog* updatePanel() const { return m_updatePanel.get(); }
    QLabel* titleTF() const { return titleTF_; }
    QLabel* messageTF() const { return messageTF_; }
    QTextBrowser* releaseNotesView() const { return releaseNotesView_; }
    QToolButton* disclosureButton() const { return disclosureButton_; }
    QPushButton* installButton() const { return installButton_; }
    QPushButton* laterButton() const { return laterButton_; }
    QProgressBar* pBar() const { return pBar_; }
    QLabel* statusTF() const { return statusTF_; }
    QLabel* progresssTF() const { return progresssTF_; }
    QPushButton* cancelButton() const { return cancelButton_; }
    QSize minimumOfferSize() const { return __minSizeArchive; }
    bool releaseNotesLoaded() const { return m_notesLoaded; }

private:
    void buildOfferWindow();
    void buildProgressPanel();
    void resizeOffer(int height, bool animated);

    PXUpdater* __master;
    std::unique_ptr<QDialog> m_updateWaningWin;
    std::unique_ptr<QDialog> m_updatePanel;
    QLabel* titleTF_ = nullptr;
    QLabel* messageTF_ = nullptr;
    QLabel* imageView_ = nullptr;
    QTextBrowser* releaseNotesView_ = nullptr;
    QToolButton* disclosureButton_ = nullptr;
    QPushButton* installButton_ = nullptr;
    QPushButton* laterButton_ = nullptr;
    QProgressBar* pBar_ = nullptr;
    QLabel* statusTF_ = nullptr;
    QLabel* progresssTF_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    std::optional<double> _downloadStartTime; // seconds on a monotonic clock
    double _previousSecondsLasting = 99999;
    double m_barValue = 0;
    double m_barMax = 0;
    UpdateInfos _updateInfos;
    QSize __minSizeArchive;
    bool m_notesLoaded = false;
    bool m_answering = false;
};

} // namespace bw
