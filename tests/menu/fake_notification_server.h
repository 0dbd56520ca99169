#pragma once
// A notification server (org.freedesktop.Notifications) on a session bus for tests: it answers Notify
// with fresh ids, records the notes it was asked to close, and clicks a note on request. It runs on a
// thread of its own, because the notes are delivered with a blocking call from the main thread.

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <mutex>

namespace bw::test {

class NotificationServerObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit NotificationServerObject(const QDBusConnection& connection) : m_connection(connection) {}

    QList<uint> delivered() const;
    QList<uint> closed() const;

public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int timeout);
    void CloseNotification(uint id);
    QStringList GetCapabilities();

private:
    QDBusConnection m_connection;
    mutable std::mutex m_mutex;
    QList<uint> m_delivered;
    QList<uint> m_closed;
    uint m_next = 41;
};

class FakeNotificationServer {
public:
    // Serves the bus at `address` until destroyed; ok() says whether the name could be taken.
    explicit FakeNotificationServer(const QString& address);
    ~FakeNotificationServer();
    FakeNotificationServer(const FakeNotificationServer&) = delete;
    FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

    bool ok() const { return m_ok; }
    QList<uint> delivered() const { return m_object->delivered(); }
    QList<uint> closed() const { return m_object->closed(); }
    // The user clicks note `id` (the server announces the action), or the note goes away by itself.
    void click(uint id, const QString& action = "default");
    void expire(uint id);

private:
    QDBusConnection m_connection;
    QThread m_thread;
    NotificationServerObject* m_object = nullptr;
    bool m_ok = false;
};

} // namespace bw::test
