// The one log function: each line carries the program's name once, as its only prefix, and stays one
// line whatever the message quotes.

#include "files/log_line.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

struct Logged {
    std::string text;
    bool errnoKept = false;
};

// Logs `message` (through "%s") in a child named `ident` whose lines are echoed on standard error.
Logged logInChild(const char* ident, const std::string& message) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[0]);
        ::openlog(ident, LOG_PERROR, LOG_USER);
        errno = EACCES;
        bw::logLine(LOG_NOTICE, "%s", message.c_str());
        ::_exit(errno == EACCES ? 0 : 1);
    }
    ::close(fds[1]);
    Logged out;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        out.text.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = -1;
    ::waitpid(pid, &status, 0);
    out.errnoKept = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return out;
}

} // namespace

TEST(LogLine, EachLineCarriesTheProgramsNameOnceAndStaysOneLine) {
    const std::string longText(3000, 'x');
    const struct {
        const char* what;
        std::string message;
        std::string expected;
    } cases[] = {
        {"plain", "cannot open /tmp/a: Permission denied", "cannot open /tmp/a: Permission denied"},
        {"a file name with a newline", "cannot move a\nfake line", "cannot move a?fake line"},
        {"tab, carriage return and DEL", "a\tb\rc\x7f", "a?b?c?"},
        {"longer than any fixed buffer", longText, longText},
        {"UTF-8 kept as it is", "Fotos \xc3\xa9t\xc3\xa9", "Fotos \xc3\xa9t\xc3\xa9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Logged logged = logInChild("bw2-log-test", c.message);
        EXPECT_TRUE(logged.errnoKept) << "errno changed by logging";
        EXPECT_EQ(logged.text, "bw2-log-test: " + c.expected + "\n");
    }
}
