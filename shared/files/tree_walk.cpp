#include "files/tree_walk.h"

#include "files/no_follow.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace bw {

bool TreeWalk::reopen(std::size_t level) {
    // The level above is still open (only deeper levels are kept open): its ".." is this folder, unless the
    // tree was moved meanwhile, which the identity check catches.
    Frame& frame = m_stack[level];
    UniqueFd parent(::openat(m_stack[level + 1].dir.fd(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!parent || ::fstat(parent.get(), &st) != 0)
        return false;
    if (st.st_dev != frame.device || st.st_ino != frame.inode) {
        errno = ESTALE;
        return false;
    }
    frame.dir = DirHandle(std::move(parent));
    if (!frame.dir)
        return false;
    frame.dir.seek(frame.resumeAt);
    return true;
}

bool TreeWalk::walk(int folderFd, const Visit& visit, const Leave& leave) {
    m_stack.clear();
    // The levels close at the end, the stack keeps its room.
    const auto finish = [this](bool result) {
        m_stack.clear();
        return result;
    };
    struct stat topFacts {};
    DirHandle top = DirHandle::listing(folderFd);
    if (!top || ::fstat(folderFd, &topFacts) != 0)
        return false;
    m_stack.push_back(Frame{std::move(top), std::string(), DT_DIR, topFacts.st_dev, topFacts.st_ino, -1});
    bool ok = true;
    while (!m_stack.empty()) {
        const std::size_t level = m_stack.size() - 1;
        Frame& frame = m_stack.back();
        const struct dirent* entry = frame.dir.next();
        if (!entry) {
            if (errno != 0)
                ok = false;
            if (level == 0)
                break;
            if (!m_stack[level - 1].dir && !reopen(level - 1))
                return finish(false);
            Frame done = std::move(m_stack.back());
            m_stack.pop_back();
            if (leave)
                leave(Entry{m_stack.back().dir.fd(), done.name.c_str(), done.type, level - 1});
            continue;
        }
        const Step step = visit(Entry{frame.dir.fd(), entry->d_name, entry->d_type, level});
        if (step == Step::Stop)
            return finish(false);
        if (step != Step::Descend)
            continue;
        UniqueFd child = openDirAt(frame.dir.fd(), entry->d_name);
        struct stat st {};
        if (!child || ::fstat(child.get(), &st) != 0) {
            ok = false;
            continue;
        }
        Frame next{DirHandle(std::move(child)), entry->d_name, entry->d_type, st.st_dev, st.st_ino, -1};
        if (!next.dir) {
            ok = false;
            continue;
        }
        m_stack.push_back(std::move(next));
        // Far below, the level that drops out of the open window remembers where it stood.
        if (m_stack.size() > kOpenLevels) {
            Frame& closing = m_stack[m_stack.size() - 1 - kOpenLevels];
            if (closing.dir) {
                closing.resumeAt = closing.dir.tell();
                closing.dir.reset();
            }
        }
    }
    return finish(ok);
}

} // namespace bw
