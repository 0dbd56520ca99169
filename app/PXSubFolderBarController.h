#pragma once
// The bar above the Recovery table while a cached folder is browsed: a back button and the path line.
// It takes the table over when a folder is opened and gives it back when the first level is left.

#include "sub_folder_browser.h"

#include <QObject>
#include <functional>

class QLabel;
class QPushButton;
class QWidget;

namespace bw {

class PXSubFolderBarController : public QObject {
    Q_OBJECT
public:
    explicit PXSubFolderBarController(QWidget* parent);

    QWidget* bar() const { return m_bar; }
    SubFolderBrowser& browser() { return m_browser; }
    const SubFolderBrowser& browser() const { return m_browser; }
    QLabel* pathTF() const { return m_pathTF; }
    QPushButton* backButton() const { return m_backButton; }

    // Opens a cached folder of the list and shows the bar.
    void loadItem(const RecoveryItem& item);
    // Opens a deeper level; false when the entry cannot be entered.
    bool enterItem(const FolderEntry& entry);
    // One level up; leaving the first level hides the bar and hands the table back.
    void backAction();

signals:
    // The level shown changed (the table must re-read its rows).
    void levelChanged();
    // The first level was left: the list owns the table again.
    void handedBack();

private:
    void showPath();

    SubFolderBrowser m_browser;
    QWidget* m_bar = nullptr;
    QPushButton* m_backButton = nullptr;
    QLabel* m_pathTF = nullptr;
};

} // namespace bw
