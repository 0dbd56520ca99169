#include "log_capture.h"

#include <gtest/gtest.h>

#include <syslog.h>

namespace bw::test {

namespace {
constexpr char kIdent[] = "bw2-test";
}

std::vector<std::string> linesLoggedBy(const std::function<void()>& step) {
    ::openlog(kIdent, LOG_PERROR, LOG_USER);
    testing::internal::CaptureStderr();
    step();
    const std::string text = testing::internal::GetCapturedStderr();
    ::openlog(kIdent, 0, LOG_USER);
    const std::string prefix = std::string(kIdent) + ": ";
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (line.starts_with(prefix))
            lines.push_back(line.substr(prefix.size()));
    }
    return lines;
}

} // namespace bw::test
