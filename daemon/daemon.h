#pragma once
// bw2daemon's controller: surveys one trash folder, hands new items to a transfer thread that stores
// them in the cache, and repairs owners and permissions of what the cache holds.

#include "batch_transfer.h"
#include "store/cache_index.h"
#include "fd_utils.h"
#include "name_filter.h"
#include "repair_workers.h"
#include "settings/settings.h"
#include "trash_watch.h"

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

typedef struct sd_event sd_event;
typedef struct sd_event_source sd_event_source;

namespace bw {

class NotificationBus;
struct Notification;

// What one transfer thread works on ("cacheFolderKey", "itemsToManageKey").
struct TransferRequest {
    std::string cacheFolder;                // full path of the batch folder
    std::vector<std::string> itemsToManage; // names directly inside the trash folder
};

// Drops an sd-event source (a timer or the watch) with the daemon that armed it.
struct EventSourceUnref {
    void operator()(sd_event_source* source) const;
};
using EventSourcePtr = std::unique_ptr<sd_event_source, EventSourceUnref>;

// Batches added to more recently than this are left for a later repair.
inline constexpr double kRepairQuietSeconds = 10.0;

class Daemon {
public:
    enum RunningStatus : std::int64_t { kStopped = 0, kWaiting = 1, kTransferring = 2 };
    enum RunningMode : std::int64_t { kMoveMode = 1, kCopyMode = 2 };

    // A new instance each call; the program makes one.
    static std::unique_ptr<Daemon> daemon();
    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // ---- Fields set from the command line ----
    double surveyTime() const { return m_surveyTime; }
    void setSurveyTime(double seconds) { m_surveyTime = seconds; }
    const std::string& trashPath() const { return m_trashPath; }
    void setTrashPath(const std::string& path) { m_trashPath = path; }
    const std::string& trashCachePath() const { return m_trashCachePath; }
    void setTrashCachePath(const std::string& path) { m_trashCachePath = path; }
    std::int64_t fileMBSizeLimitation() const { return m_nameFilter.sizeLimitMB(); }
    void setFileMBSizeLimitation(std::int64_t megabytes) { m_nameFilter.setSizeLimitMB(megabytes); }
    std::int64_t percentFreeOnDisk() const { return m_percentFreeOnDisk; }
    void setPercentFreeOnDisk(std::int64_t percent) { m_percentFreeOnDisk = percent; }
    std::int64_t runningMode() const { return m_runningMode; }
    void setRunningMode(std::int64_t mode) { m_runningMode = mode; }
    std::int64_t runningStatus() const { return m_runningStatus; }
    void setRunningStatus(std::int64_t status);
    std::int32_t daemonUID() const { return m_daemonUID; }
    void setDaemonUID(std::int32_t uid) { m_daemonUID = uid; }
    std::int64_t nbDaysInCache() const { return m_nbDaysInCache; }
    void setNbDaysInCache(std::int64_t days) { m_nbDaysInCache = days; }
    const std::vector<FilterEntry>& filters() const { return m_nameFilter.filters(); }
    void setFilters(std::vector<FilterEntry> filters) { m_nameFilter.setFilters(std::move(filters)); }
    const std::map<std::string, double>& _alreadyAdded() const { return m_alreadyAdded; }
    void set_alreadyAdded(std::map<std::string, double> list) { m_alreadyAdded = std::move(list); }
    bool mustTerminate() const { return _mustTerminate; }

    // ---- What the process gives the daemon besides its arguments ----
    // The protected user's home folder (password database when privileged, else $HOME).
    void setHomeFolder(const std::string& home) { m_homeFolder = home; }
    const std::string& homeFolder() const { return m_homeFolder; }
    // Running with privileges it did not start with: paths are opened one component at a time without
    // following links, and the cache folder must belong to daemonUID.
    void setPrivileged(bool privileged) { m_privileged = privileged; }
    // Where notifications go (none: nothing is posted or observed).
    void setBus(NotificationBus* bus) { m_bus = bus; }
    // The loop that runs the surveys and timers and that "terminate" ends (none: surveys are called by hand).
    void setEvent(sd_event* event) { m_event = event; }
    // Surveys follow the trash folder's changes (kernel events) and the daemon sleeps in between; false
    // surveys every surveyTime instead, as when the kernel cannot watch the folder.
    void setEventSurveys(bool on) { m_eventSurveys = on; }
    // Whether surveys follow kernel events now (false once fallen back to surveying every surveyTime).
    bool surveysOnEvents() const { return m_eventSurveys && !m_polling; }
    // How long copy-mode additions to the added list wait to be written (300 s; tests shorten it).
    void setAddedListSaveInterval(double seconds) { m_addedListSaveInterval = seconds; }
    // Pause before each repaired item (0.1 s; tests shorten it).
    void setRepairItemDelay(double seconds) { m_repairItemDelay = seconds; }
    // Pauses before terminating (2 s after a vanished trash, 1 s after a quit request or a full disk).
    void setTerminationDelayScale(double scale) { m_terminationDelayScale = scale; }
    // Set once the daemon decided to end the process.
    bool terminated() const { return m_terminated; }
    // Longest wait for a batch folder's lock before a write is put off to a later survey (tests shorten it).
    void setBatchLockWait(std::chrono::milliseconds wait) { m_batches.setBatchLockWait(wait); }
    // Largest index archive a batch folder may reach; past it the minute's batch goes on in a new folder
    // (tests lower it; it never exceeds what readers accept).
    void setIndexSizeLimit(std::size_t bytes) { m_batches.setIndexSizeLimit(bytes); }
    // Index writes that are still waiting for their batch's lock.
    std::size_t pendingIndexWrites() { return m_batches.pendingIndexWrites(); }
    // Called after a batch's items are stored and before its final index write (tests take the lock there).
    void setBeforeFinishHook(std::function<void()> hook) { m_batches.setBeforeFinishHook(std::move(hook)); }

    // ---- Operations ----
    std::string cacheFolder() const;
    bool launchDaemon();
    void daemonIteration();
    bool isFiltered(const std::string& name) const;
    void mustStopNotification(const Notification& notification);
    void mustQuitNotification(const Notification& notification);
    // SIGTERM and SIGINT: a quit request of this daemon's own user.
    void quitOnSignal();

    void moveDataFromTrashToCache(const TransferRequest& request);
    void copyDataFromTrashToCache(const TransferRequest& request);
    std::string keyForItem(const std::string& path) const;
    bool saveKnownFiles();
    void repairPermissions(const std::string& folder);

    static std::int32_t setLock(bool locked, const std::string& path);
    static std::int32_t setLockAt(bool locked, int dirFd, const char* name);
    // The same for exactly the item behind a descriptor (O_PATH|O_NOFOLLOW is enough).
    static std::int32_t setLockOfItem(bool locked, int itemFd, const char* name);
    static std::uint64_t getFolderSize(const std::string& path);
    // Total size below an open folder (files and links count their own size; folders are walked).
    static std::uint64_t folderSizeAt(int folderFd);

    // The free-space rule: full when no free megabyte is left or the free share is below the minimum.
    static bool diskIsFull(std::uint64_t freeBytes, std::uint64_t totalBytes, std::int64_t percentFreeOnDisk);

    // Start-up recovery after a crash: in every batch not yet repaired, drops index entries whose stored
    // item does not exist and removes leftover temporary copies.
    void recoverInterruptedBatches();

    // Waits for every repair thread to end (they are asked to stop first when `stop` is set).
    void joinRepairs(bool stop);

private:
    void transfer(const TransferRequest& request, bool copy);
    bool freeSpaceTest(int cacheFd);
    // The free-space rule for a copy under way, given the descriptor being written.
    std::function<bool(int)> spaceCheck() const;

    // The user's cache folder, made when missing and create is set. A privileged daemon refuses one that is
    // not its user's (errno EPERM, logged once).
    UniqueFd openCacheFolder(bool create) const;
    // Ends the daemon after a failure that is not a full disk (err: a negative errno), with one notice on
    // the bus.
    void quitForCacheFailure(const char* operation, int err);
    // Ends the daemon when its volume is full, with one notice on the bus.
    void quitForFullDisk(const char* operation);
    // Who the batches are for, from the command line.
    BatchTransfer::Setup batchSetup() const;
    UniqueFd openTrashFolder() const;
    UniqueFd openInfoFolder() const;
    void forgetOldEntries();

    // ---- When surveys and the timed work run (daemon_schedule.cpp) ----
    // Watches the trash folder at launch (with the user's rights: the daemon has given up root by now).
    void startWatching();
    // Makes sure the watch covers the open trash folder before it is listed (a folder made again at the
    // same path is watched anew); falls back to polling when it cannot.
    void watchTrash(int trashFd);
    void fallBackToPolling(const std::string& why);
    // After a survey: the next one (a poll, or a retry of what stayed behind), the watch listening
    // again, and the timed work the survey left.
    void afterSurvey(bool workLeft);
    // The survey runs within `seconds`, or earlier when it is due earlier already.
    void armSurvey(double seconds);
    // The survey that news brings: once the news has gone quiet, at the latest one survey time after
    // the first of it.
    void armSurveyAfterNews();
    void scheduleTimedWork();
    void markQuietBatches();
    // Under the batch's lock (waited for up to lockWait), marks a batch whose items were all walked
    // repaired once it is quiet and not being filled. False when it has to wait for a later try.
    bool markBatchRepaired(int batchFd, std::chrono::milliseconds lockWait);
    static int onTrashNews(sd_event_source* source, int fd, std::uint32_t revents, void* userdata);
    static int onSaveTimer(sd_event_source* source, std::uint64_t usec, void* userdata);
    static int onMarkTimer(sd_event_source* source, std::uint64_t usec, void* userdata);

    void terminateApplication(double delaySeconds);
    void post(const char* name, const char* object, bool withCachePath, std::int64_t itemCount);
    void repairFolderContents(int folderFd, int depth, const std::atomic<bool>& stop, uid_t uid);
    void repairItem(int dirFd, const char* name, int depth, const std::atomic<bool>& stop, uid_t uid);
    void startTransferThread(const TransferRequest& request, bool copy);
    void waitForTransfer();
    static int onSurveyTimer(sd_event_source* source, std::uint64_t usec, void* userdata);

    // Command line.
    double m_surveyTime = 1.0;
    std::string m_trashPath;
    std::string m_trashCachePath;
    std::int64_t m_percentFreeOnDisk = 0;
    std::int64_t m_runningMode = 0;
    std::atomic<std::int64_t> m_runningStatus{kStopped};
    std::int32_t m_daemonUID = 0;
    std::int64_t m_nbDaysInCache = 0;

    std::atomic<bool> _mustTerminate{false};
    NameFilter m_nameFilter;
    std::map<std::string, double> m_alreadyAdded;
    double _lastfileSave = 0.0;

    std::string m_homeFolder;
    bool m_privileged = false;
    NotificationBus* m_bus = nullptr;
    sd_event* m_event = nullptr;
    EventSourcePtr m_timer;

    // Event-driven surveys: the watch, its source (off while a survey is due, so that a burst of news
    // waits in the kernel's queue and makes one survey), and the one-shot timers of the timed work.
    bool m_eventSurveys = true;
    bool m_polling = false;
    TrashWatch m_watch;
    EventSourcePtr m_watchSource;
    EventSourcePtr m_saveTimer;
    EventSourcePtr m_markTimer;
    std::uint64_t m_surveyDue = 0; // CLOCK_MONOTONIC microseconds the survey timer is set for; 0: none
    // When the first news since the last survey came (CLOCK_MONOTONIC microseconds; 0: none pending).
    std::uint64_t m_firstNews = 0;
    double m_retryDelay = 0.0; // next wait before a survey retries what stayed behind
    // Set by a transfer when a name stays in the trash for a later survey (a failure, a locked batch).
    bool m_itemsLeft = false;
    bool m_addedListDirty = false;
    double m_addedListSaveInterval = 300.0;
    // Batch folders a transfer stored into (read by the main thread after the transfer thread ended), and
    // those waiting to be marked repaired once quiet.
    std::vector<std::string> m_storedBatches;
    std::set<std::string> m_batchesToMark;
    double m_repairItemDelay = 0.1;
    double m_terminationDelayScale = 1.0;
    std::atomic<bool> m_terminated{false};
    int m_lastTrashError = 0; // the trash folder's last open failure (a negative errno), 0 once opened
    mutable std::atomic<bool> m_cacheNotOwnedReported{false};

    // The survey's reusable name list, so that an idle survey allocates nothing new.
    std::vector<std::string> m_names;
    std::vector<char> m_direntBuffer;

    // Transfer thread and the main thread's wait for it.
    std::thread m_transferThread;
    std::mutex m_statusMutex;
    std::condition_variable m_statusChanged;
    std::atomic<bool> m_exitAfterTransfer{false};

    // Stores into the batch folders; repair asks it which batch is being filled.
    BatchTransfer m_batches;

    // Declared last: its threads walk through this object, so they end before any other member goes.
    RepairWorkers m_repairWorkers{
        [this](const std::string& folder, const std::atomic<bool>&) { repairPermissions(folder); }};
};

} // namespace bw
