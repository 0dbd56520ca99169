#pragma once
// The threads that walk cache folders to repair their items, one per folder at a time, and when each
// folder's last whole walk began. What a walk does is the owner's; this class only runs and counts them.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bw {

class RepairWorkers {
public:
    // Walks one folder; returns early once the stop flag is set.
    using Walk = std::function<void(const std::string& folder, const std::atomic<bool>& stop)>;

    explicit RepairWorkers(Walk walk);
    // Asks every walk to stop and waits for it.
    ~RepairWorkers();
    RepairWorkers(const RepairWorkers&) = delete;
    RepairWorkers& operator=(const RepairWorkers&) = delete;

    // Walks the folder on a thread of its own; a walk already under way there walks it once more
    // afterwards instead of a second thread beside it.
    void start(const std::string& folder);
    // Joins the threads whose walks have ended.
    void reap();
    // Waits for every walk to end (they are asked to stop first when `stop` is set; later starts are
    // not stopped).
    void joinAll(bool stop);
    // Whether a walk of this folder is under way.
    bool running(const std::string& folder);
    // When the last whole walk of the folder began (seconds since the reference date), if one ended
    // since the folder was last forgotten. A walk cut short by a stop does not count.
    std::optional<double> walkedSince(const std::string& folder);
    void forget(const std::string& folder);
    // Set while joinAll(true) stops the walks, for walks run outside these threads.
    const std::atomic<bool>& stopFlag() const { return m_stop; }

private:
    struct Job {
        std::string folder;
        std::thread thread;
        bool again = false; // guarded by m_mutex
        bool done = false;  // guarded by m_mutex
    };

    Walk m_walk;
    std::mutex m_mutex;
    std::map<std::string, double> m_walkedSince; // guarded by m_mutex
    std::atomic<bool> m_stop{false};
    std::vector<std::unique_ptr<Job>> m_jobs; // guarded by m_mutex
};

} // namespace bw
