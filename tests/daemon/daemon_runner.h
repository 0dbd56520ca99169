#pragma once
// Runs the real bw2daemon against a temporary home and records what it says on the bus.

#include "bus/notification_bus.h"
#include "temp_dir.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bw::test {

// One started bw2daemon; killed (by its pid) and reaped when the object goes.
class DaemonProcess {
public:
    DaemonProcess() = default;
    ~DaemonProcess();
    DaemonProcess(DaemonProcess&& other) noexcept;
    DaemonProcess& operator=(DaemonProcess&& other) noexcept;
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    // Starts the program with these arguments (program name excluded) and extra environment.
    // With runAsUid, the child keeps effective uid 0 and takes that real uid (as through the helper).
    static DaemonProcess start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                               const std::string& stderrPath, std::optional<uid_t> runAsUid = std::nullopt);
    pid_t pid() const { return m_pid; }
    bool running();
    // Waits for the exit; the exit status, or nothing after the timeout.
    std::optional<int> waitExit(double timeoutSeconds);
    void signal(int sig);

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
};

// A bus connection of the test that keeps every notification it sees.
class BusRecorder {
public:
    struct Seen {
        std::string name;
        std::optional<std::string> object;
        std::map<std::string, std::string> stringInfo;
        std::map<std::string, long long> numberInfo;
        bool hasInfo = false;
        std::optional<uid_t> senderUid; // the uid the sender's bus connection was made with
    };

    BusRecorder();
    // Dispatches bus traffic for a while.
    void pump(double seconds);
    // Pumps until a notification of that name arrives (true) or the timeout passes.
    bool waitFor(const std::string& name, double timeoutSeconds) { return waitForCount(name, 1, timeoutSeconds); }
    // Pumps until `count` notifications of that name have arrived in all.
    bool waitForCount(const std::string& name, std::size_t count, double timeoutSeconds);
    std::vector<Seen> named(const std::string& name) const;
    void post(const std::string& name, const std::optional<std::string>& object);

private:
    NotificationBus m_bus;
    std::vector<Seen> m_seen;
};

// Sets or clears the immutable flag of a file or folder (not following a link); false where it cannot.
bool setImmutable(const std::string& path, bool on);

// Waits for a condition, checking every 20 ms.
bool eventually(const std::function<bool()>& condition, double timeoutSeconds);

// The bw2daemon of this build tree.
std::string daemonExecutable();

} // namespace bw::test
