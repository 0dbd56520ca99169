#include "DesktopNotes.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QVariantMap>

namespace bw {

namespace {
constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
} // namespace

DesktopNotes::DesktopNotes(QObject* parent) : QObject(parent) {}

bool DesktopNotes::deliver(const QString& title, const QString& text, const QString& iconName) {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        return false;
    if (!m_connected) {
        m_connected =
            session.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(actionInvoked(uint, QString)));
        session.connect(kService, kPath, kInterface, "NotificationClosed", this, SLOT(notificationClosed(uint, uint)));
    }
    QDBusInterface notifications(kService, kPath, kInterface, session);
    notifications.setTimeout(2000);
    QDBusReply<uint> reply = notifications.call("Notify", QString("Binwarden 2"), uint(0), iconName, title, text,
                                                QStringList{"default", "Open"}, QVariantMap{}, int(-1));
    if (!reply.isValid())
        return false;
    m_delivered.insert(reply.value());
    return true;
}

void DesktopNotes::actionInvoked(uint id, const QString& actionKey) {
    if (!m_delivered.remove(id))
        return;
    // A clicked note has done its job; servers that keep notes in a history would otherwise keep it there.
    QDBusConnection session = QDBusConnection::sessionBus();
    QDBusMessage close = QDBusMessage::createMethodCall(kService, kPath, kInterface, "CloseNotification");
    close << id;
    session.call(close, QDBus::NoBlock);
    if (actionKey == "default" || actionKey == "Open")
        emit activated();
}

void DesktopNotes::notificationClosed(uint id, uint) {
    m_delivered.remove(id);
}

} // namespace bw
