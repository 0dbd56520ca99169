#pragma once
// The application delegate: the defaults and settings file at start, quitting when an update is about
// to be installed, and the agent kept running when the application quits.

#include "process_table.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <optional>
#include <string>
#include <vector>

namespace bw {

struct AppContext;
struct Notification;

class Binwarden_2AppDelegate : public QObject {
    Q_OBJECT
public:
    // Class initialisation: registers the defaults and creates the settings file when it is missing.
    explicit Binwarden_2AppDelegate(AppContext& context, QObject* parent = nullptr);

    QWidget* window() const { return m_window; }
    void setWindow(QWidget* window) { m_window = window; }

    void applicationDidFinishLaunching();
    // "QUIT_EVERYBODY_NOTIFICATION BW2" from this user or root: quit.
    void refreshNewInfos(const Notification& notification);
    // Makes sure the agent runs for this user (waiting for it at most `limitMs`), then allows the quit.
    bool applicationShouldTerminate(int limitMs = 5000);
    bool checkPassword() const;
    std::optional<std::vector<ProcessRecord>> processInfoForDaemonNamed(const std::string& name) const;
    // The quit that ends an uninstall leaves the agent stopped.
    void setSkipAgentCheck(bool skip) { m_skipAgentCheck = skip; }

private:
    AppContext& m_context;
    QPointer<QWidget> m_window;
    bool m_skipAgentCheck = false;
};

} // namespace bw
