#pragma once
// Drives a NotificationBus from the Qt event loop: watches its descriptor and honours its timeouts, so
// that handlers run on the main thread.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>

namespace bw {

class NotificationBus;

class BusPump : public QObject {
    Q_OBJECT
public:
    explicit BusPump(NotificationBus& bus, QObject* parent = nullptr);

private:
    void dispatch();
    void rearm();

    NotificationBus& m_bus;
    std::unique_ptr<QSocketNotifier> m_read;
    std::unique_ptr<QSocketNotifier> m_write;
    QTimer m_timer;
    int m_fd = -1;
};

} // namespace bw
