#pragma once
// Adds up the sizes of the cache folders on a thread of its own, so that a large cache never freezes the
// window. Requests that arrive during a walk are merged into one more walk of the latest folder list.

#include "files/folder_size.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bw {

class CacheSizeWorker {
public:
    // `onTotal` runs on the worker thread after each walk; the owner hands the figure to its own thread.
    explicit CacheSizeWorker(std::function<void(std::uint64_t total)> onTotal);
    // Waits for the walk in progress to end; requests not started are dropped.
    ~CacheSizeWorker();
    CacheSizeWorker(const CacheSizeWorker&) = delete;
    CacheSizeWorker& operator=(const CacheSizeWorker&) = delete;

    void request(std::vector<std::string> cacheFolders);

private:
    void run();

    std::function<void(std::uint64_t)> m_onTotal;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<std::vector<std::string>> m_pending;
    bool m_stopping = false;
    FolderSizer m_sizer; // only the worker thread uses it
    std::thread m_thread;
};

} // namespace bw
