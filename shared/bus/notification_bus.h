#pragma once
// Distributed notifications over the D-Bus system bus (sd-bus): one broadcast signal per notification.

#include "plist/plist_ptr.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

typedef struct sd_event sd_event;

namespace bw {

// The one broadcast signal that carries every notification:
// (name, has object, object or "", has user information, user information or {}, immediate).
inline constexpr char kNotificationPath[] = "/org/binwarden2/Notifications";
inline constexpr char kNotificationInterface[] = "org.binwarden2.Notifications";
inline constexpr char kNotificationMember[] = "Notification";
inline constexpr char kNotificationSignature[] = "sbsba{sv}b";

struct Notification {
    std::string name;
    std::optional<std::string> object; // none is distinct from ""
    PlistPtr userInfo;                 // a PLIST_DICT, or null for none
    bool immediate = false;
    // The sender's uid from its bus credentials (the effective uid it connected with), asked on arrival;
    // nullopt when unknown, e.g. because the sender had already left the bus.
    std::optional<uid_t> senderUid;
};

using NotificationHandler = std::function<void(const Notification&)>;

class NotificationBus {
public:
    NotificationBus();
    ~NotificationBus();
    NotificationBus(const NotificationBus&) = delete;
    NotificationBus& operator=(const NotificationBus&) = delete;

    // Safe from any thread. `userInfo` is borrowed (a dictionary, or null for none). Without a bus it logs
    // one line and returns; the connection is retried on the next post or observe.
    void post(const std::string& name, const std::optional<std::string>& object, plist_t userInfo, bool immediate);
    // The same, telling whether the notification reached the bus (bw2ctl reports it in its exit status).
    bool tryPost(const std::string& name, const std::optional<std::string>& object, plist_t userInfo, bool immediate);

    // Handlers run on the thread that drives the bus (the main thread), one at a time, in arrival order.
    void observe(const std::string& name, NotificationHandler handler);
    // Every notification, whatever its name (bw2ctl notify monitor); same thread and order rules.
    void observeAll(NotificationHandler handler);
    // Drops on arrival every notification whose sender is neither `uid` nor root (or is unknown), before it
    // is queued: a receiver that obeys only its own user (the daemon) stays small under anyone's flood.
    void acceptOnlyFrom(uid_t uid);

    // Event-loop integration. Either attach to an sd-event loop (the daemon)... Returns whether the bus is
    // reachable now; either way the loop keeps retrying a lost or missing connection every second.
    bool attachEvent(sd_event* event);
    // ...or drive it by hand (the Qt bridge): poll fd() for events(), wake at timeoutUsec()
    // (CLOCK_MONOTONIC, UINT64_MAX = none), then call process(), which dispatches pending messages.
    // Without a connection fd() is -1 and timeoutUsec() asks for a retry a second later.
    int fd();
    int events();
    std::uint64_t timeoutUsec();
    void process();

    // Whether the sending connection works now (reconnects when it went away or never was).
    bool isConnected();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The user id text carried by requests: decimal, no sign, no leading zeros.
std::string userIdText(uid_t uid);
// The leading integer value of a user id text; nothing when there is no object or no leading number.
std::optional<long long> userIdFromText(const std::optional<std::string>& object);

// Whether a request that carries a user id (start, stop, must-quit, must-stop) is addressed to `uid`:
// its object reads as `uid` and its sender's bus credentials show `uid` or root (unknown = refused).
bool requestIsForUser(const Notification& notification, uid_t uid);

} // namespace bw
