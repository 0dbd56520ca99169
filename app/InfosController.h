#pragma once
// The Information tab: whether protection runs for this user, the caches' total size, the number of
// protected disks, and the Start/Stop button, which asks the agent by notification. It also makes sure
// the agent runs and records the first launch of each version.

#include "cache_size_worker.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class QLabel;
class QWidget;

namespace bw {

struct AppContext;
class PXStartStopButton;

class InfosController : public QObject {
    Q_OBJECT
public:
    // _protectionStatus values.
    enum : int { kNoRequest = 0, kStartShown = 1, kStopOrUnknown = 2 };

    explicit InfosController(AppContext& context, QObject* parent = nullptr);
    ~InfosController() override;

    // The tab's page (owned by whoever takes it into a layout).
    QWidget* page() const { return m_page; }

    void awakeFromNib();
    void refreshAll();
    void refreshInfos();
    void refreshInterface();
    void refreshTimer();
    void startStopProtection();
    bool isProtectionActivated() const;

    int protectionStatus() const { return _protectionStatus; }
    PXStartStopButton* startStopButton() const { return m_startStopButton; }
    QLabel* activeTF() const { return m_activeTF; }
    QLabel* stoppedTF() const { return m_stoppedTF; }
    QLabel* cacheSizeTF() const { return m_cacheSizeTF; }
    QLabel* nbDisksProtectedTF() const { return m_nbDisksTF; }
    // How many cache walks have delivered their total so far.
    int sizeRefreshes() const { return m_sizeRefreshes; }

signals:
    void cacheSizeShown(quint64 total);

private:
    void buildPage();
    void showRunningLook();
    void showStoppedLook();
    bool agentRunsForUser() const;
    void applyCacheTotal(std::uint64_t total);
    // Runs on m_launchThread: the first-launch work and, when asked, launching the agent.
    void firstLaunchAndAgent(bool newVersion, bool openAgent);
    // A wait that ends early when the controller goes.
    void pause(std::chrono::milliseconds duration);

    AppContext& m_context;
    QWidget* m_page = nullptr;
    PXStartStopButton* m_startStopButton = nullptr;
    QLabel* m_activeTF = nullptr;
    QLabel* m_stoppedTF = nullptr;
    QLabel* m_cacheSizeTF = nullptr;
    QLabel* m_nbDisksTF = nullptr;
    int _protectionStatus = kNoRequest;
    int m_sizeRefreshes = 0;
    QTimer m_refreshTimer;
    std::unique_ptr<CacheSizeWorker> m_sizeWorker;
    std::thread m_launchThread;
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseWake;
    bool m_closing = false;
};

} // namespace bw
