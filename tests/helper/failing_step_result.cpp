// The helper's entry with one step made to fail: the step named by BW2_HELPER_FAILING_STEP in the
// environment the helper was started with fails with EIO. Read from /proc/self/environ, which keeps that
// environment after the helper cleared its own; built into a test program only, never installed.

#include "step_result.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace bw::helper {

namespace {

std::string failingStep() {
    const int fd = ::open("/proc/self/environ", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string all;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        all.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    const std::string key = "BW2_HELPER_FAILING_STEP=";
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        if (all.compare(start, key.size(), key) == 0)
            return all.substr(start + key.size(), end - start - key.size());
        start = end + 1;
    }
    return {};
}

} // namespace

int stepResult(const char* step, int result) {
    return failingStep() == step ? -EIO : result;
}

} // namespace bw::helper
