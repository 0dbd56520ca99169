#pragma once
// The Information tab: whether protection runs for this user, the caches' total size, the number of
// protected disks, and the Start/Stop button, which asks the agent by notification. It also makes sure
// the agent runs and records the first launch of each version.

#include "cache_size_worker.h"
#include "version1_migration.h"

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
class PXProgressSheet;
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

    // A first-version menu runs (for anybody): asks whether to stop it or quit; stopping ends the user's
    // first-version menu and background processes and drops the menu's login entries. Answers false when
    // the user chose to quit.
    bool checkVersion1OnLaunch();
    // On Start with first-version caches in the home folder: Delete, Convert, Ignore or Cancel.
    void askAboutVersion1();
    // The answer to that question (its button's position).
    void version1AlertDidEnd(int answer);
    // Stops the first version, finds its applications and deletes or converts its caches behind the
    // conversion sheet; the start requests follow when the sheet ends.
    void uninstallVersion1();
    // What the first-version operations act on for this user now.
    Version1Context version1Context() const;

    bool deleteVersion1() const { return __DELETE_VERSION1; }
    PXProgressSheet* convertProgress();
    const MigrationReport& lastMigrationReport() const { return m_lastMigration; }

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
    // The conversion sheet ended (the start requests are posted).
    void version1MigrationDidEnd();

private:
    void buildPage();
    void showRunningLook();
    void showStoppedLook();
    // After a start request: the running look when the launcher is ready, else the stopped look until
    // the agent has repaired it.
    void showStartRequested();
    void convertSheetDidEnd(const MigrationReport& report);
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
    bool __DELETE_VERSION1 = false;
    PXProgressSheet* m_convertProgress = nullptr;
    MigrationReport m_lastMigration;
    int m_sizeRefreshes = 0;
    QTimer m_refreshTimer;
    std::unique_ptr<CacheSizeWorker> m_sizeWorker;
    std::thread m_launchThread;
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseWake;
    bool m_closing = false;
};

} // namespace bw
