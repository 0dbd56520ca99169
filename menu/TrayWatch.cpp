#include "TrayWatch.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace bw {

namespace {

constexpr char kWatcherService[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr char kWatcherInterface[] = "org.kde.StatusNotifierWatcher";
// Until a tray appears the watch looks again this often (an XEmbed tray announces itself only to
// those who already watch its selection).
constexpr int kPollMilliseconds = 2000;

struct FreeDeleter {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

} // namespace

TrayWatch::TrayWatch(QObject* parent) : QObject(parent) {
    m_poll.setInterval(kPollMilliseconds);
    connect(&m_poll, &QTimer::timeout, this, &TrayWatch::check);
}

bool TrayWatch::statusNotifierHostRegistered() const {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected() || !session.interface() || !session.interface()->isServiceRegistered(kWatcherService))
        return false;
    QDBusMessage get =
        QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, "org.freedesktop.DBus.Properties", "Get");
    get << QString(kWatcherInterface) << QString("IsStatusNotifierHostRegistered");
    QDBusMessage reply = session.call(get, QDBus::Block, 1000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

bool TrayWatch::xembedTrayPresent() const {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    // The tray of the first screen owns this selection (the freedesktop system tray protocol).
    static const char kSelection[] = "_NET_SYSTEM_TRAY_S0";
    XcbReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 1, sizeof kSelection - 1, kSelection), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr));
    return owner && owner->owner != XCB_NONE;
}

bool TrayWatch::trayAvailable() const {
    return statusNotifierHostRegistered() || xembedTrayPresent();
}

void TrayWatch::watch() {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (session.isConnected() && !m_watcher) {
        m_watcher = new QDBusServiceWatcher(kWatcherService, session, QDBusServiceWatcher::WatchForRegistration, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayWatch::check);
        // The watcher says when a host registers; the empty service name takes the signal from whoever
        // owns the watcher's name at the time.
        m_signalConnected = session.connect(QString(), kWatcherPath, kWatcherInterface, "StatusNotifierHostRegistered",
                                            this, SLOT(check()));
    }
    m_appeared = false;
    m_poll.start();
    check();
}

void TrayWatch::check() {
    if (m_appeared || !trayAvailable())
        return;
    m_appeared = true;
    m_poll.stop();
    emit appeared();
}

} // namespace bw
