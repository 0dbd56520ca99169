#pragma once
// Whether a tray can show the agent's icon, and a signal when one appears. At login the panel often
// starts after the agent. Qt decides once per process whether its icons go to a StatusNotifier host
// (D-Bus) or to an XEmbed tray, at the first icon it makes; an icon made before the host is up would
// go to XEmbed for good and never reach the host. So the icon is made only once a tray exists.

#include <QObject>
#include <QTimer>

class QDBusServiceWatcher;

namespace bw {

class TrayWatch : public QObject {
    Q_OBJECT
public:
    explicit TrayWatch(QObject* parent = nullptr);

    // A StatusNotifier host is registered on the session bus, or (on X11) an XEmbed tray is there.
    bool trayAvailable() const;
    // Watches until a tray is available, then emits `appeared` once (at once when one already is). May be
    // called again after that, for a new icon.
    void watch();

signals:
    void appeared();

private slots:
    void check();

private:
    bool statusNotifierHostRegistered() const;
    bool xembedTrayPresent() const;

    QTimer m_poll;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_signalConnected = false;
    bool m_appeared = false;
};

} // namespace bw
