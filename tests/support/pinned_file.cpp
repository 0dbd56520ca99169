#include "pinned_file.h"

#include "throwaway_user.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bw::test {

std::function<void()> pinDown(const std::string& file) {
    if (isRoot()) {
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        if (fd < 0 || ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
            if (fd >= 0)
                close(fd);
            return {};
        }
        int pinned = flags | FS_IMMUTABLE_FL;
        bool ok = ioctl(fd, FS_IOC_SETFLAGS, &pinned) == 0;
        close(fd);
        if (!ok)
            return {};
        return [file, flags] {
            int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
            int restored = flags;
            ioctl(fd, FS_IOC_SETFLAGS, &restored);
            close(fd);
        };
    }
    std::string folder = file.substr(0, file.rfind('/'));
    chmod(folder.c_str(), 0500);
    return [folder] { chmod(folder.c_str(), 0700); };
}

} // namespace bw::test
