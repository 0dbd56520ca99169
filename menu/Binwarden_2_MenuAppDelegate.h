#pragma once
// The agent's application delegate: the time of the last update check, its own updater, and what a
// click on a delivered note does.

#include "PXUpdater.h"

#include <QObject>

namespace bw {

class MainController;

class Binwarden_2_MenuAppDelegate : public QObject {
    Q_OBJECT
public:
    explicit Binwarden_2_MenuAppDelegate(QObject* parent = nullptr) : QObject(parent) {}

    double updateTime() const { return _lastUpdate; }
    void setUpdateTime(double time) { _lastUpdate = time; }
    void resetUpdateTime() {
        _lastUpdate = 0.0;
        _softwareUpdater.resetUpdateTime();
    }
    void setMainController(MainController* controller) { _menuMainController = controller; }

public slots:
    // The user clicked a delivered note: open the main application.
    void userNotificationCenterDidActivateNotification();

private:
    MainController* _menuMainController = nullptr;
    PXUpdater _softwareUpdater;
    double _lastUpdate = 0.0;
};

} // namespace bw
