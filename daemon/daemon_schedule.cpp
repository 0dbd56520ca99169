// When the daemon works: a survey after the trash folder's news (or every surveyTime where the kernel cannot
// watch the folder), and one-shot timers for the work it times itself. With nothing pending, nothing wakes
// it up.

#include "daemon.h"

#include "fd_utils.h"
#include "files/log_line.h"
#include "plist/reference_time.h"
#include "store/cache_index.h"

#include <sys/epoll.h>
#include <syslog.h>
#include <systemd/sd-event.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bw {

namespace {

// Slack the kernel may use to batch the daemon's wake-ups with other programs'.
constexpr std::uint64_t kSurveyAccuracyUsec = 100 * 1000;
constexpr std::uint64_t kTimedWorkAccuracyUsec = 1000 * 1000;
// News that stops for this long is over: a single item is surveyed this soon, a burst once it ends.
constexpr std::uint64_t kQuietUsec = 50 * 1000;
// A survey that left work behind (a failed move, a locked batch) tries again after surveyTime, then after
// twice as long each time it still fails, up to this.
constexpr double kLongestRetrySeconds = 60.0;
constexpr double kShortestRetrySeconds = 0.1;

std::uint64_t monotonicUsec() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t usecFrom(double seconds) {
    return seconds > 0 ? static_cast<std::uint64_t>(seconds * 1e6) : 0;
}

// Sets a one-shot CLOCK_MONOTONIC timer for `due` (microseconds), making it on first use.
bool armAt(sd_event* event, EventSourcePtr& source, std::uint64_t due, std::uint64_t accuracy,
           sd_event_time_handler_t handler, void* userdata, const char* what) {
    if (!source) {
        sd_event_source* raw = nullptr;
        if (int r = sd_event_add_time(event, &raw, CLOCK_MONOTONIC, due, accuracy, handler, userdata); r < 0) {
            bw::logLine(LOG_ERR, "cannot schedule %s: %s", what, std::strerror(-r));
            return false;
        }
        source.reset(raw);
        return true; // born one-shot
    }
    sd_event_source_set_time(source.get(), due);
    sd_event_source_set_enabled(source.get(), SD_EVENT_ONESHOT);
    return true;
}

bool isArmed(sd_event_source* source) {
    int enabled = SD_EVENT_OFF;
    return source && sd_event_source_get_enabled(source, &enabled) >= 0 && enabled != SD_EVENT_OFF;
}

} // namespace

void EventSourceUnref::operator()(sd_event_source* source) const {
    sd_event_source_disable_unref(source);
}

void Daemon::startWatching() {
    if (!m_event)
        return;
    if (!m_eventSurveys) {
        fallBackToPolling("surveys on events are turned off");
        return;
    }
    // A trash that cannot be opened yet is watched by the first survey that opens it.
    if (UniqueFd trash = openTrashFolder())
        watchTrash(trash.get());
}

void Daemon::watchTrash(int trashFd) {
    if (!m_event || !surveysOnEvents())
        return;
    struct stat st;
    if (::fstat(trashFd, &st) != 0 || m_watch.watches(st))
        return;
    const std::string path = withoutTrailingSlashes(m_trashPath);
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    UniqueFd parent = slash == std::string::npos
                          ? UniqueFd()
                          : openDirectoryPath(slash == 0 ? "/" : path.substr(0, slash), m_privileged);
    const int watched = parent ? m_watch.watch(trashFd, parent.get(), name, m_runningMode == kCopyMode) : -errno;
    if (watched < 0) {
        fallBackToPolling(std::strerror(-watched));
        return;
    }
    if (!m_watchSource) {
        sd_event_source* raw = nullptr;
        if (int r = sd_event_add_io(m_event, &raw, m_watch.fd(), EPOLLIN, &Daemon::onTrashNews, this); r < 0) {
            fallBackToPolling(std::strerror(-r));
            return;
        }
        m_watchSource.reset(raw);
    }
}

void Daemon::fallBackToPolling(const std::string& why) {
    if (m_polling)
        return;
    m_polling = true;
    m_watchSource.reset();
    m_watch = TrashWatch();
    bw::logLine(LOG_WARNING, "cannot watch %s for changes (%s); surveying every %g s instead", m_trashPath.c_str(),
                why.c_str(), m_surveyTime);
}

void Daemon::armSurvey(double seconds) {
    if (!m_event)
        return;
    const std::uint64_t due = monotonicUsec() + usecFrom(seconds);
    if (m_surveyDue != 0 && m_surveyDue <= due && isArmed(m_timer.get()))
        return;
    if (armAt(m_event, m_timer, due, kSurveyAccuracyUsec, &Daemon::onSurveyTimer, this, "the survey"))
        m_surveyDue = due;
}

void Daemon::armSurveyAfterNews() {
    const std::uint64_t now = monotonicUsec();
    if (m_firstNews == 0)
        m_firstNews = now;
    // The timer's slack is taken off the latest time, so that it is kept whatever the kernel does.
    const std::uint64_t latest = m_firstNews + usecFrom(m_surveyTime);
    const std::uint64_t due =
        std::min(now + kQuietUsec, latest > kSurveyAccuracyUsec ? latest - kSurveyAccuracyUsec : 0);
    armSurvey(due > now ? static_cast<double>(due - now) / 1e6 : 0.0);
}

int Daemon::onSurveyTimer(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<Daemon*>(userdata);
    self->m_surveyDue = 0;
    // Everything queued so far is covered by this survey's listing; news from now on waits for the next.
    // Whether the folder itself went is read from the listing (gone, or another folder at its path).
    const TrashWatch::News news = self->m_watch.drain();
    if (self->m_firstNews != 0 && news.changed && !news.folderGone && !self->_mustTerminate &&
        monotonicUsec() + kSurveyAccuracyUsec < self->m_firstNews + usecFrom(self->m_surveyTime)) {
        // Still coming: the burst goes on, and is surveyed once (at the latest one survey time after it began).
        self->armSurveyAfterNews();
        return 0;
    }
    self->m_firstNews = 0;
    self->daemonIteration();
    return 0;
}

int Daemon::onTrashNews(sd_event_source* source, int, std::uint32_t, void* userdata) {
    auto* self = static_cast<Daemon*>(userdata);
    const TrashWatch::News news = self->m_watch.drain();
    if (!news.changed && !news.folderGone)
        return 0; // the parent folder's other entries
    // The rest of a burst waits in the kernel's queue, costing no wake-up, and makes the same survey.
    sd_event_source_set_enabled(source, SD_EVENT_OFF);
    if (self->_mustTerminate)
        return 0;
    self->armSurveyAfterNews();
    return 0;
}

void Daemon::afterSurvey(bool workLeft) {
    const bool stored = !m_storedBatches.empty();
    m_batchesToMark.insert(m_storedBatches.begin(), m_storedBatches.end());
    m_storedBatches.clear();
    if (!m_event)
        return;
    if (!surveysOnEvents()) {
        armSurvey(m_surveyTime);
    } else {
        if (m_watchSource)
            sd_event_source_set_enabled(m_watchSource.get(), SD_EVENT_ON);
        if (workLeft) {
            m_retryDelay = m_retryDelay > 0 ? std::min(m_retryDelay * 2, kLongestRetrySeconds)
                                            : std::max(m_surveyTime, kShortestRetrySeconds);
            armSurvey(m_retryDelay);
        } else {
            m_retryDelay = 0;
        }
    }
    if (stored || (!m_batchesToMark.empty() && !isArmed(m_markTimer.get())))
        armAt(m_event, m_markTimer, monotonicUsec() + usecFrom(kRepairQuietSeconds), kTimedWorkAccuracyUsec,
              &Daemon::onMarkTimer, this, "the repair");
    scheduleTimedWork();
}

void Daemon::scheduleTimedWork() {
    if (!m_event || !m_addedListDirty)
        return;
    // Copies recorded in the added list reach the disk one save interval after the last save at the latest,
    // as they did while every survey of a full trash ran a transfer.
    const double wait = m_addedListSaveInterval - (timeIntervalSinceReferenceDate() - _lastfileSave);
    armAt(m_event, m_saveTimer, monotonicUsec() + usecFrom(wait), kTimedWorkAccuracyUsec, &Daemon::onSaveTimer, this,
          "the added list's save");
}

int Daemon::onSaveTimer(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<Daemon*>(userdata);
    if (self->m_addedListDirty)
        self->saveKnownFiles();
    self->scheduleTimedWork(); // a failed save is tried again one interval later
    return 0;
}

int Daemon::onMarkTimer(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<Daemon*>(userdata);
    self->markQuietBatches();
    if (!self->m_batchesToMark.empty()) {
        armAt(self->m_event, self->m_markTimer, monotonicUsec() + usecFrom(kRepairQuietSeconds), kTimedWorkAccuracyUsec,
              &Daemon::onMarkTimer, self, "the repair");
    } else {
        // Quiet for a while: the last batch's index is read again if more comes, rather than kept in memory.
        self->m_batches.forgetIndex();
    }
    return 0;
}

void Daemon::markQuietBatches() {
    m_repairWorkers.reap();
    for (auto it = m_batchesToMark.begin(); it != m_batchesToMark.end();) {
        const std::string& folder = *it;
        bool settled = true;
        if (m_repairWorkers.running(folder)) {
            settled = false;
        } else if (UniqueFd batch = m_batches.openBatchFolder(folder)) {
            std::optional<BWCacheIndex> index = readCacheIndexAt(batch.get());
            if (index && !index->permissionsRepaired()) {
                const double walked = m_repairWorkers.walkedSince(folder).value_or(-1);
                if (walked < index->cacheLastAdditionTime()) {
                    // Added to after its items were last walked: walked again, marked afterwards.
                    m_repairWorkers.start(folder);
                    settled = false;
                } else {
                    // The main thread does not wait for a lock another program holds: the timer comes back.
                    settled = markBatchRepaired(batch.get(), std::chrono::milliseconds(0));
                }
            }
        }
        if (settled) {
            m_repairWorkers.forget(folder);
            it = m_batchesToMark.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace bw
