#pragma once
// Notes through org.freedesktop.Notifications on the session bus; clicking one opens the main application.

#include <QObject>
#include <QSet>
#include <QString>

namespace bw {

class DesktopNotes : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotes(QObject* parent = nullptr);
    // Delivers a note; false when no notification server answers.
    bool deliver(const QString& title, const QString& text, const QString& iconName);

signals:
    void activated(); // the user clicked a note we delivered

private slots:
    void actionInvoked(uint id, const QString& actionKey);
    void notificationClosed(uint id, uint reason);

private:
    QSet<uint> m_delivered;
    bool m_connected = false;
};

} // namespace bw
