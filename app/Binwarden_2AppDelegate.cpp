#include "Binwarden_2AppDelegate.h"

#include "AppContext.h"
#include "bus/notification_names.h"
#include "files/log_line.h"

#include <QCoreApplication>
#include <QThread>
#include <QWidget>

#include <syslog.h>

#include <chrono>

namespace bw {

Binwarden_2AppDelegate::Binwarden_2AppDelegate(AppContext& context, QObject* parent)
    : QObject(parent), m_context(context) {
    // A settings file that cannot be made is logged, with its reason, by the settings file's writer.
    m_context.store.registerDefaults();
}

void Binwarden_2AppDelegate::applicationDidFinishLaunching() {
    m_context.bus.observe(notif::kQuitEverybody, [this](const Notification& n) { refreshNewInfos(n); });
    if (m_window) {
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
    }
}

void Binwarden_2AppDelegate::refreshNewInfos(const Notification& notification) {
    // Another user must not be able to close this user's window.
    if (!notification.senderUid || (*notification.senderUid != m_context.uid && *notification.senderUid != 0))
        return;
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

bool Binwarden_2AppDelegate::applicationShouldTerminate(int limitMs) {
    if (m_skipAgentCheck)
        return true;
    auto agentRuns = [this] { return anyProcessOfUser(processInfoForDaemonNamed(kAgentProcess), m_context.uid); };
    const std::string agent = m_context.agentPath();
    auto start = std::chrono::steady_clock::now();
    auto lastLaunch = start - std::chrono::seconds(10);
    while (!agentRuns()) {
        auto now = std::chrono::steady_clock::now();
        if (now - start > std::chrono::milliseconds(limitMs)) {
            bw::logLine(LOG_ERR, "-[Binwarden_2AppDelegate applicationShouldTerminate:] the agent %s did not start",
                        agent.c_str());
            break;
        }
        // A fresh launch at most once a second: an agent needs a moment to show in the process table.
        if (now - lastLaunch >= std::chrono::seconds(1)) {
            std::string error;
            if (!m_context.services.launch(agent, {agent}, &error))
                bw::logLine(LOG_ERR, "-[Binwarden_2AppDelegate applicationShouldTerminate:] %s", error.c_str());
            lastLaunch = now;
        }
        QThread::msleep(100);
    }
    return true;
}

bool Binwarden_2AppDelegate::checkPassword() const {
    return m_context.checkPassword();
}

std::optional<std::vector<ProcessRecord>>
Binwarden_2AppDelegate::processInfoForDaemonNamed(const std::string& name) const {
    return m_context.services.processInfo(name);
}

} // namespace bw
