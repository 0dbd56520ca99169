#include "cache_size_worker.h"

namespace bw {

CacheSizeWorker::CacheSizeWorker(std::function<void(std::uint64_t)> onTotal)
    : m_onTotal(std::move(onTotal)), m_thread([this] { run(); }) {}

CacheSizeWorker::~CacheSizeWorker() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_pending.reset();
    }
    m_wake.notify_all();
    m_thread.join();
}

void CacheSizeWorker::request(std::vector<std::string> cacheFolders) {
    {
        std::lock_guard lock(m_mutex);
        m_pending = std::move(cacheFolders);
    }
    m_wake.notify_all();
}

void CacheSizeWorker::run() {
    while (true) {
        std::vector<std::string> folders;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || m_pending.has_value(); });
            if (m_stopping)
                return;
            folders = std::move(*m_pending);
            m_pending.reset();
        }
        std::uint64_t total = 0;
        for (const auto& folder : folders)
            total += m_sizer.getFolderSize(folder);
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
        }
        m_onTotal(total);
    }
}

} // namespace bw
