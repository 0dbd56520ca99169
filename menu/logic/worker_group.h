#pragma once
// The agent's background work with an owner: every worker thread is kept here, joined when it is done
// or when the group stops, and can see that it is asked to stop. Nothing runs detached, so no worker
// outlives the objects it uses.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace bw {

class WorkerGroup {
public:
    WorkerGroup() = default;
    ~WorkerGroup(); // stops and joins
    WorkerGroup(const WorkerGroup&) = delete;
    WorkerGroup& operator=(const WorkerGroup&) = delete;

    // Runs `work` on a new thread owned by the group. False (and nothing run) once the group stops or
    // when no thread can be created; one line is logged for the latter.
    bool start(std::function<void()> work);

    // Asks every worker to stop; `stopping()` answers true from then on. Does not wait.
    void requestStop();
    // Requests the stop, then joins every worker.
    void stop();

    bool stopping() const { return m_stopping.load(); }
    const std::atomic<bool>& stopFlag() const { return m_stopping; }
    // Workers still running (those done but not yet joined do not count).
    int running() const;

    // Waits until `done` answers true, the group stops or `limit` passes; answers `done()` at the end.
    // For workers waiting on something the main thread does: whoever makes `done` true calls wake().
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) const;
    // Wakes the workers waiting in waitFor so that they look at their condition again.
    void wake() const;
    // Waits `duration`, less when the group stops.
    void pause(std::chrono::milliseconds duration) const;

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    void joinFinished(std::list<Worker>& finished);

    mutable std::mutex m_mutex;
    std::list<Worker> m_workers;
    std::atomic<bool> m_stopping{false};
    // Waits end on a wake or the stop, never by polling.
    mutable std::mutex m_waitMutex;
    mutable std::condition_variable m_waitChanged;
};

} // namespace bw
