#pragma once
// A StatusNotifier watcher and host on a session bus, for the tray tests and the tray picture: it owns the
// watcher's name, records the items that register, and reads an item's exported menu the way a panel
// does (com.canonical.dbusmenu: AboutToShow, then GetLayout).

#include <QDBusConnection>
#include <QDBusMessage>
#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace bw::test {

class StatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    explicit StatusNotifierWatcher(const QDBusConnection& connection, QObject* parent = nullptr);

    // Takes the watcher's name and object; false when the name is taken or the bus is missing.
    bool start();
    // A host is up from now on (what a panel does once it shows items).
    void registerHost();

    QStringList registeredItems() const { return m_items; }
    int registrations() const { return m_registrations; } // every RegisterStatusNotifierItem call
    bool hostRegistered() const { return m_hostRegistered; }
    int protocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message);
    void RegisterStatusNotifierHost(const QString& service);

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    QDBusConnection m_connection;
    QStringList m_items; // "service/path"
    bool m_hostRegistered = false;
    int m_registrations = 0;
};

// One entry of an exported menu, in menu order.
struct ExportedMenuEntry {
    QString label;
    bool enabled = true;
    bool visible = true;
    bool separator = false;
    int depth = 0; // 0 for the top menu's own entries
};

// Splits "service/path" as recorded by the watcher.
QString itemService(const QString& item);
QString itemPath(const QString& item);

// The menu of a registered item, as a host reads it; nothing when the item or its menu does not answer.
std::optional<QList<ExportedMenuEntry>> readExportedMenu(const QDBusConnection& connection, const QString& item);
// The item's icon from its "IconPixmap" property (the largest one), or a null image.
QImage readItemIcon(const QDBusConnection& connection, const QString& item);

} // namespace bw::test
