#include "fd_utils.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bw {

const char* RawDirReader::next(unsigned char& type) {
    struct LinuxDirent64 {
        ino64_t d_ino;
        off64_t d_off;
        unsigned short d_reclen;
        unsigned char d_type;
        char d_name[];
    };
    if (m_buffer.size() < 4096)
        m_buffer.resize(32768);
    for (;;) {
        if (m_pos >= m_used) {
            long n = ::syscall(SYS_getdents64, m_fd, m_buffer.data(), m_buffer.size());
            if (n <= 0)
                return nullptr;
            m_used = n;
            m_pos = 0;
        }
        auto* entry = reinterpret_cast<LinuxDirent64*>(m_buffer.data() + m_pos);
        m_pos += entry->d_reclen;
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
            continue;
        type = entry->d_type;
        return n;
    }
}

} // namespace bw
