#include "files/log_line.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace bw {

namespace {

__attribute__((format(printf, 1, 0))) std::string formatted(const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    std::string text;
    if (length < 0) {
        text = format;
    } else if (static_cast<size_t>(length) < sizeof small) {
        text.assign(small, static_cast<size_t>(length));
    } else {
        // Longer than the first try: format again into a buffer of the size it reported.
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

} // namespace

void logLine(int priority, const char* format, ...) {
    const int savedErrno = errno;
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    ::syslog(priority, "%s", text.c_str());
    errno = savedErrno;
}

} // namespace bw
