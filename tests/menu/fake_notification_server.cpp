#include "fake_notification_server.h"

#include <QDBusMessage>

namespace bw::test {

namespace {
constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
} // namespace

QList<uint> NotificationServerObject::delivered() const {
    std::lock_guard lock(m_mutex);
    return m_delivered;
}

QList<uint> NotificationServerObject::closed() const {
    std::lock_guard lock(m_mutex);
    return m_closed;
}

uint NotificationServerObject::Notify(const QString&, uint, const QString&, const QString&, const QString&,
                                      const QStringList&, const QVariantMap&, int) {
    std::lock_guard lock(m_mutex);
    m_delivered.append(++m_next);
    return m_next;
}

void NotificationServerObject::CloseNotification(uint id) {
    {
        std::lock_guard lock(m_mutex);
        m_closed.append(id);
    }
    QDBusMessage closed = QDBusMessage::createSignal(kPath, kInterface, "NotificationClosed");
    closed << id << uint(3);
    m_connection.send(closed);
}

QStringList NotificationServerObject::GetCapabilities() {
    return {"actions", "body"};
}

FakeNotificationServer::FakeNotificationServer(const QString& address)
    : m_connection(QDBusConnection::connectToBus(address, "fake-notification-server")) {
    if (!m_connection.isConnected())
        return;
    m_object = new NotificationServerObject(m_connection);
    m_object->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_object, &QObject::deleteLater);
    m_thread.start();
    m_ok = m_connection.registerObject(kPath, m_object, QDBusConnection::ExportAllSlots) &&
           m_connection.registerService(kService);
}

FakeNotificationServer::~FakeNotificationServer() {
    m_connection.unregisterService(kService);
    m_connection.unregisterObject(kPath);
    m_thread.quit();
    m_thread.wait();
    QDBusConnection::disconnectFromBus("fake-notification-server");
}

void FakeNotificationServer::click(uint id, const QString& action) {
    QDBusMessage invoked = QDBusMessage::createSignal(kPath, kInterface, "ActionInvoked");
    invoked << id << action;
    m_connection.send(invoked);
}

void FakeNotificationServer::expire(uint id) {
    QDBusMessage closed = QDBusMessage::createSignal(kPath, kInterface, "NotificationClosed");
    closed << id << uint(1);
    m_connection.send(closed);
}

} // namespace bw::test
