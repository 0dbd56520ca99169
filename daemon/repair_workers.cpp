#include "repair_workers.h"

#include "plist/reference_time.h"

namespace bw {

RepairWorkers::RepairWorkers(Walk walk) : m_walk(std::move(walk)) {}

RepairWorkers::~RepairWorkers() {
    joinAll(true);
}

void RepairWorkers::start(const std::string& folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& job : m_jobs) {
        if (!job->done && job->folder == folder) {
            job->again = true;
            return;
        }
    }
    auto job = std::make_unique<Job>();
    job->folder = folder;
    Job* raw = job.get();
    raw->thread = std::thread([this, raw] {
        for (;;) {
            const double start = timeIntervalSinceReferenceDate();
            if (!m_stop)
                m_walk(raw->folder, m_stop);
            std::lock_guard<std::mutex> guard(m_mutex);
            if (!m_stop)
                m_walkedSince[raw->folder] = start;
            if (raw->again && !m_stop) {
                raw->again = false;
                continue;
            }
            raw->done = true;
            return;
        }
    });
    m_jobs.push_back(std::move(job));
}

void RepairWorkers::reap() {
    std::vector<std::unique_ptr<Job>> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_jobs.begin(); it != m_jobs.end();) {
            if ((*it)->done) {
                finished.push_back(std::move(*it));
                it = m_jobs.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& job : finished)
        job->thread.join();
}

void RepairWorkers::joinAll(bool stop) {
    if (stop)
        m_stop = true;
    std::vector<std::unique_ptr<Job>> all;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        all.swap(m_jobs);
    }
    for (auto& job : all)
        job->thread.join();
    if (stop)
        m_stop = false;
}

bool RepairWorkers::running(const std::string& folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& job : m_jobs)
        if (!job->done && job->folder == folder)
            return true;
    return false;
}

std::optional<double> RepairWorkers::walkedSince(const std::string& folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto found = m_walkedSince.find(folder); found != m_walkedSince.end())
        return found->second;
    return std::nullopt;
}

void RepairWorkers::forget(const std::string& folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_walkedSince.erase(folder);
}

} // namespace bw
