#pragma once
// Drives a NotificationBus from the Qt event loop, so that its handlers run on the GUI thread.

#include "bus/notification_bus.h"

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

namespace bw {

class BusEventBridge : public QObject {
    Q_OBJECT
public:
    // `bus` must outlive the bridge. Observing before or after creating the bridge both work.
    explicit BusEventBridge(NotificationBus& bus, QObject* parent = nullptr);
    ~BusEventBridge() override;

    // Reads the bus's descriptor, events and next timeout again; done after every processing step.
    void rearm();

private:
    void activity();
    void replaceNotifiers(int fd);

    NotificationBus& m_bus;
    int m_fd = -1;
    QPointer<QSocketNotifier> m_read;
    QPointer<QSocketNotifier> m_write;
    QTimer m_timer;
};

} // namespace bw
