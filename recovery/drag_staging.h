#pragma once
// Items dragged out of the recovery list wait for the file manager in a staging folder, each under the
// name a drop would give it (the free-name rule): a hard link for a file, a copy for a folder. A drop
// target reads the list of files when the drop happens but often copies them later, in a job of its own,
// so a released folder is kept until a deadline; the folders a program left behind when it stopped are
// removed by the next one that starts.

#include "recovery_item.h"

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bw {

struct StagedDrag {
    std::string folder;              // the staging folder
    std::vector<std::string> paths;  // the staged items, in the order of the items given
    std::vector<std::string> errors; // one line for each item that could not be staged
};

// Where a drag of items starting with `first` is staged: the cache folder holding its batch (same
// volume, so a hard link works), then the user's runtime folder, then /tmp.
std::vector<std::string> dragStagingBases(const RecoveryItem& first);

class DragStaging {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr const char* kFolderPrefix = ".bw2-drag-";

    explicit DragStaging(pid_t owner = getpid());
    // Every folder still held goes with it.
    ~DragStaging();
    DragStaging(const DragStaging&) = delete;
    DragStaging& operator=(const DragStaging&) = delete;

    // Stages the items in a fresh folder made in the first of `bases` that accepts one; nothing when no
    // folder could be made or no item could be staged.
    std::optional<StagedDrag> stage(const std::vector<RecoveryItem>& items, const std::vector<std::string>& bases);
    // The folder may go at `when`; of several deadlines given for one folder the earliest counts.
    void release(const std::string& folder, Clock::time_point when);
    void removeNow(const std::string& folder);
    // Removes the released folders whose time has come; answers when the next one is due.
    std::optional<Clock::time_point> removeDue(Clock::time_point now);
    void removeAll();
    // The folders still held, released or not.
    std::vector<std::string> folders() const;

    // Removes the staging folders found directly in `bases` that belong to `uid` and whose program no
    // longer runs (or that carry this program's id but are not held by it); answers how many went.
    std::size_t removeLeftovers(const std::vector<std::string>& bases, uid_t uid) const;

private:
    pid_t m_owner;
    // Folder → its deadline, none until released.
    std::map<std::string, std::optional<Clock::time_point>> m_folders;
};

} // namespace bw
