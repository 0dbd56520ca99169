#pragma once
// The one walk below a folder: depth first over an explicit stack (no recursion), relative to folder
// descriptors, never through a symbolic link, with no path strings. Only the deepest few folders stay
// open; a folder left behind is opened again from its child through ".." and must be the same folder
// (device and inode), so a tree of any depth is walked within a small, fixed number of descriptors.

#include "files/dir_handle.h"

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace bw {

class TreeWalk {
public:
    struct Entry {
        int folderFd;       // the folder that lists it
        const char* name;   // its name there
        unsigned char type; // DT_* as listed; DT_UNKNOWN when the file system does not say
        std::size_t depth;  // 0 for the entries of the folder the walk starts in
    };
    enum class Step { Next, Descend, Stop };
    // Called for every entry; Descend on a folder walks into it (anything else is left as it is).
    using Visit = std::function<Step(const Entry&)>;
    // Called when a folder that was descended into has been listed to its end, with its own entry.
    using Leave = std::function<void(const Entry&)>;

    // How many levels keep their descriptors open at once.
    static constexpr std::size_t kOpenLevels = 32;

    // Walks the folder behind `folderFd` (which stays open and is not moved). False when a folder could
    // not be opened or listed, or the walk was stopped; errno then says why.
    bool walk(int folderFd, const Visit& visit, const Leave& leave = {});

    // The stack's capacity only grows, so that repeated walks allocate nothing for it.
    std::size_t stackCapacity() const { return m_stack.capacity(); }

private:
    struct Frame {
        DirHandle dir;        // invalid while the level is closed
        std::string name;     // its name in the folder below it on the stack
        unsigned char type;   // as it was listed there
        dev_t device = 0;
        ino_t inode = 0;
        long resumeAt = -1;   // where its listing stood when it was closed
    };
    bool reopen(std::size_t level);
    std::vector<Frame> m_stack;
};

} // namespace bw
