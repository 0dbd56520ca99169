#include "status_notifier_host.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace bw::test {

namespace {

constexpr char kWatcherService[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr char kMenuInterface[] = "com.canonical.dbusmenu";

QVariant property(const QDBusConnection& connection, const QString& service, const QString& path,
                  const QString& interface, const QString& name) {
    QDBusMessage get = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
    get << interface << name;
    QDBusMessage reply = connection.call(get, QDBus::Block, 3000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
}

// (ia{sv}av): id, properties, children.
void readLayoutItem(const QDBusArgument& argument, int depth, QList<ExportedMenuEntry>& entries) {
    int id = 0;
    QVariantMap properties;
    argument.beginStructure();
    argument >> id >> properties;
    if (depth > 0) {
        ExportedMenuEntry entry;
        entry.label = properties.value("label").toString();
        entry.enabled = properties.value("enabled", true).toBool();
        entry.visible = properties.value("visible", true).toBool();
        entry.separator = properties.value("type").toString() == "separator";
        entry.depth = depth - 1;
        entries.append(entry);
    }
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        readLayoutItem(child.variant().value<QDBusArgument>(), depth + 1, entries);
    }
    argument.endArray();
    argument.endStructure();
}

} // namespace

StatusNotifierWatcher::StatusNotifierWatcher(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), m_connection(connection) {}

bool StatusNotifierWatcher::start() {
    if (!m_connection.isConnected())
        return false;
    if (!m_connection.registerObject(kWatcherPath, this,
                                     QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                         QDBusConnection::ExportAllProperties))
        return false;
    return m_connection.registerService(kWatcherService);
}

void StatusNotifierWatcher::registerHost() {
    m_hostRegistered = true;
    emit StatusNotifierHostRegistered();
}

void StatusNotifierWatcher::RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message) {
    // An item names its service (its path is the usual one) or, the other way round, its path on the
    // sender's connection.
    QString item =
        serviceOrPath.startsWith('/') ? message.service() + serviceOrPath : serviceOrPath + "/StatusNotifierItem";
    ++m_registrations;
    if (!m_items.contains(item))
        m_items.append(item);
    emit StatusNotifierItemRegistered(item);
}

void StatusNotifierWatcher::RegisterStatusNotifierHost(const QString&) {
    registerHost();
}

QString itemService(const QString& item) {
    return item.left(item.indexOf('/'));
}

QString itemPath(const QString& item) {
    return item.mid(item.indexOf('/'));
}

std::optional<QList<ExportedMenuEntry>> readExportedMenu(const QDBusConnection& connection, const QString& item) {
    QString service = itemService(item);
    QVariant menuPath = property(connection, service, itemPath(item), kItemInterface, "Menu");
    if (!menuPath.isValid())
        return std::nullopt;
    QString path = menuPath.value<QDBusObjectPath>().path();
    if (path.isEmpty())
        return std::nullopt;
    // A panel announces that it opens the menu, then reads it whole.
    QDBusMessage aboutToShow = QDBusMessage::createMethodCall(service, path, kMenuInterface, "AboutToShow");
    aboutToShow << 0;
    connection.call(aboutToShow, QDBus::Block, 3000);
    QDBusMessage getLayout = QDBusMessage::createMethodCall(service, path, kMenuInterface, "GetLayout");
    getLayout << 0 << -1 << QStringList();
    QDBusMessage reply = connection.call(getLayout, QDBus::Block, 3000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2)
        return std::nullopt;
    QList<ExportedMenuEntry> entries;
    readLayoutItem(reply.arguments().at(1).value<QDBusArgument>(), 0, entries);
    return entries;
}

QImage readItemIcon(const QDBusConnection& connection, const QString& item) {
    QVariant pixmaps = property(connection, itemService(item), itemPath(item), kItemInterface, "IconPixmap");
    if (!pixmaps.isValid())
        return {};
    // a(iiay): width, height, ARGB32 in network byte order.
    const QDBusArgument argument = pixmaps.value<QDBusArgument>();
    QImage best;
    argument.beginArray();
    while (!argument.atEnd()) {
        int width = 0, height = 0;
        QByteArray data;
        argument.beginStructure();
        argument >> width >> height >> data;
        argument.endStructure();
        if (width <= 0 || height <= 0 || data.size() < width * height * 4 || width <= best.width())
            continue;
        QImage image(width, height, QImage::Format_ARGB32);
        const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const uchar* p = bytes + 4 * (y * width + x);
                image.setPixel(x, y, qRgba(p[1], p[2], p[3], p[0]));
            }
        }
        best = image;
    }
    argument.endArray();
    return best;
}

} // namespace bw::test
