#include "worker_group.h"

#include "files/log_line.h"

#include <syslog.h>

#include <system_error>

namespace bw {

WorkerGroup::~WorkerGroup() {
    stop();
}

bool WorkerGroup::start(std::function<void()> work) {
    std::list<Worker> finished;
    std::lock_guard lock(m_mutex);
    if (m_stopping.load())
        return false;
    // Threads that are done are joined here, so that the list does not grow with every pass.
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        auto next = std::next(it);
        if (it->finished->load())
            finished.splice(finished.end(), m_workers, it);
        it = next;
    }
    joinFinished(finished);
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread thread([work = std::move(work), done] {
            work();
            done->store(true);
        });
        m_workers.push_back(Worker{std::move(thread), std::move(done)});
    } catch (const std::system_error& e) {
        bw::logLine(LOG_ERR, "WorkerGroup: cannot start a worker thread: %s", e.what());
        return false;
    }
    return true;
}

void WorkerGroup::joinFinished(std::list<Worker>& finished) {
    for (auto& worker : finished) {
        if (worker.thread.joinable())
            worker.thread.join();
    }
}

void WorkerGroup::requestStop() {
    {
        std::lock_guard lock(m_waitMutex);
        m_stopping.store(true);
    }
    m_waitChanged.notify_all();
}

void WorkerGroup::stop() {
    requestStop();
    std::list<Worker> all;
    {
        std::lock_guard lock(m_mutex);
        all.swap(m_workers);
    }
    joinFinished(all);
}

int WorkerGroup::running() const {
    std::lock_guard lock(m_mutex);
    int count = 0;
    for (const auto& worker : m_workers)
        count += worker.finished->load() ? 0 : 1;
    return count;
}

bool WorkerGroup::waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_waitMutex);
    m_waitChanged.wait_for(lock, limit, [&] { return done() || m_stopping.load(); });
    return done();
}

void WorkerGroup::wake() const {
    // Taking the lock orders the waker's change before a waiter's next look at its condition.
    { std::lock_guard lock(m_waitMutex); }
    m_waitChanged.notify_all();
}

void WorkerGroup::pause(std::chrono::milliseconds duration) const {
    waitFor([] { return false; }, duration);
}

} // namespace bw
