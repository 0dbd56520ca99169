#include "bus/notification_bus.h"

#include "bus/bus_connection.h"
#include "bus/notification_names.h"
#include "bus/plist_variant.h"
#include "bus/sd_bus_handles.h"
#include "files/log_line.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <malloc.h>
#include <syslog.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <unordered_map>
#include <mutex>
#include <utility>
#include <vector>

namespace bw {

using namespace bus;

namespace {

constexpr std::uint64_t kRetryUsec = 1'000'000; // a failed connect on a local socket costs nothing
// The same silent peer is asked again less often, so that the driving thread is not mostly waiting on it.
constexpr std::uint64_t kSilentRetryUsec = 15'000'000;
// Notifications waiting for their handlers, and senders whose uid is remembered: both bounded, so that a
// flood of signals (any local user may broadcast) cannot grow a receiver without limit.
constexpr std::size_t kMaxQueued = 256;
constexpr std::size_t kMaxKnownSenders = 256;

// Asked on arrival, while the sender is most likely still connected: the bus forgets it once it leaves.
// Every observed notification gets it, so that handlers beyond the four requests can check senders too.
std::optional<uid_t> queriedSenderUid(sd_bus_message* m) {
    sd_bus_creds* raw = nullptr;
    if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_EUID, &raw) < 0)
        return std::nullopt;
    CredsPtr creds(raw);
    uid_t uid = 0;
    if (sd_bus_creds_get_euid(creds.get(), &uid) < 0)
        return std::nullopt;
    return uid;
}

bool readNotification(sd_bus_message* m, Notification* out) {
    if (!sd_bus_message_has_signature(m, kNotificationSignature))
        return false;
    const char* name = nullptr;
    const char* object = nullptr;
    int hasObject = 0, hasUserInfo = 0, immediate = 0;
    if (sd_bus_message_read(m, "sbsb", &name, &hasObject, &object, &hasUserInfo) < 0)
        return false;
    std::size_t budget = kMaxUserInfoNodes;
    PlistPtr userInfo = readArray(m, "{sv}", 0, budget);
    if (!userInfo || sd_bus_message_read(m, "b", &immediate) < 0)
        return false;
    out->name = name;
    if (hasObject)
        out->object = std::string(object);
    if (hasUserInfo)
        out->userInfo = std::move(userInfo);
    out->immediate = immediate != 0;
    return true;
}

} // namespace

struct NotificationBus::Impl {
    // Sending: one connection of its own, used by any thread under the mutex.
    std::mutex sendMutex;
    BusPtr sender;
    // After a bus let the sender time out, posts fail at once until then instead of each waiting on it.
    std::uint64_t senderQuietUntilUsec = 0;

    BusPtr openSender(int* error) {
        if (monotonicUsec() < senderQuietUntilUsec) {
            *error = -ETIMEDOUT;
            return nullptr;
        }
        BusPtr bus = openSystemBus(error);
        if (!bus && *error == -ETIMEDOUT)
            senderQuietUntilUsec = monotonicUsec() + kSilentRetryUsec;
        return bus;
    }

    // Receiving: everything below belongs to the thread that drives the bus.
    BusPtr receiver;
    bool receiverLost = false;
    bool receiverFailureLogged = false;
    bool receiverTimedOut = false;
    std::vector<std::pair<std::optional<std::string>, NotificationHandler>> handlers;
    std::deque<Notification> queue;
    bool dispatching = false;
    bool overflowLogged = false;
    // The uid of each sender seen on the current connection (unique names are never reused on a bus), so
    // that a flood from one sender costs one question to the bus, not one per signal.
    std::unordered_map<std::string, uid_t> knownSenders;
    std::optional<uid_t> onlyFrom;
    // One match per observed name (the bus then forwards only those), or one for every name.
    std::vector<SlotPtr> matchSlots;
    std::vector<std::string> matchedNames;
    bool matchesEverything = false;

    std::optional<uid_t> senderUidOf(sd_bus_message* m) {
        const char* sender = sd_bus_message_get_sender(m);
        if (sender) {
            if (auto known = knownSenders.find(sender); known != knownSenders.end())
                return known->second;
        }
        std::optional<uid_t> uid = queriedSenderUid(m);
        if (uid && sender) {
            if (knownSenders.size() >= kMaxKnownSenders)
                knownSenders.clear();
            knownSenders.emplace(sender, *uid);
        }
        return uid;
    }

    static std::string matchRule(const std::optional<std::string>& name) {
        std::string rule = std::string("type='signal',path='") + kNotificationPath + "',interface='" +
                           kNotificationInterface + "',member='" + kNotificationMember + "'";
        if (name) {
            // Match rule quoting: an apostrophe ends the quote, is escaped, and opens it again.
            rule += ",arg0='";
            for (char c : *name)
                rule += c == '\'' ? std::string("'\\''") : std::string(1, c);
            rule += "'";
        }
        return rule;
    }

    // Installs the matches the handlers need on `bus` (all of them when `fresh`, else what is missing).
    int installMatches(sd_bus* bus, bool fresh) {
        if (fresh) {
            matchSlots.clear();
            matchedNames.clear();
            matchesEverything = false;
        }
        bool everything = false;
        for (const auto& [filter, handler] : handlers)
            everything = everything || !filter;
        if (matchesEverything)
            return 0;
        if (everything) {
            sd_bus_slot* raw = nullptr;
            int r = sd_bus_add_match(bus, &raw, matchRule(std::nullopt).c_str(), &Impl::onSignal, this);
            if (r < 0)
                return r;
            // The names matched one by one are covered now; their rules go, so nothing arrives twice.
            matchSlots.clear();
            matchSlots.emplace_back(raw);
            matchedNames.clear();
            matchesEverything = true;
            return 0;
        }
        for (const auto& [filter, handler] : handlers) {
            if (std::find(matchedNames.begin(), matchedNames.end(), *filter) != matchedNames.end())
                continue;
            sd_bus_slot* raw = nullptr;
            int r = sd_bus_add_match(bus, &raw, matchRule(*filter).c_str(), &Impl::onSignal, this);
            if (r < 0)
                return r;
            matchSlots.emplace_back(raw);
            matchedNames.push_back(*filter);
        }
        return 0;
    }
    EventPtr event;
    SourcePtr dispatchSource;
    SourcePtr retrySource;
    std::uint64_t nextRetryUsec = 0;

    bool wants(const std::string& name) const {
        for (const auto& [filter, handler] : handlers) {
            if (!filter || *filter == name)
                return true;
        }
        return false;
    }

    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        // A name that nobody here observes is dropped before its user information is read at all.
        const char* name = nullptr;
        if (sd_bus_message_has_signature(m, kNotificationSignature) && sd_bus_message_read(m, "s", &name) >= 0 &&
            name && !self->wants(name))
            return 0;
        if (sd_bus_message_rewind(m, 1) < 0)
            return 0;
        Notification notification;
        if (!readNotification(m, &notification)) {
            bw::logLine(LOG_WARNING, "NotificationBus: ignored a malformed notification from %s",
                        sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "?");
            return 0;
        }
        if (!self->wants(notification.name))
            return 0;
        notification.senderUid = self->senderUidOf(m);
        if (self->onlyFrom &&
            (!notification.senderUid || (*notification.senderUid != *self->onlyFrom && *notification.senderUid != 0)))
            return 0; // from nobody this receiver listens to: dropped before it takes any room
        if (self->queue.size() >= kMaxQueued) {
            if (!self->overflowLogged)
                bw::logLine(LOG_WARNING, "NotificationBus: more than %zu notifications wait; dropping the newest",
                            kMaxQueued);
            self->overflowLogged = true;
            return 0;
        }
        self->queue.push_back(std::move(notification));
        // Handlers never run inside sd-bus's own processing, so that they may use the bus freely.
        if (self->dispatchSource)
            sd_event_source_set_enabled(self->dispatchSource.get(), SD_EVENT_ONESHOT);
        return 0;
    }

    static int onDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        self->receiverLost = true;
        bw::logLine(LOG_WARNING, "NotificationBus: lost the system bus; reconnecting");
        self->armRetry(0);
        return 0;
    }

    static int onDispatch(sd_event_source*, void* userdata) {
        static_cast<Impl*>(userdata)->dispatch();
        return 0;
    }

    static int onRetry(sd_event_source*, uint64_t, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (self->receiverLost)
            self->dropReceiver();
        if (!self->ensureReceiver())
            self->scheduleRetry();
        return 0;
    }

    void armRetry(std::uint64_t delayUsec) {
        nextRetryUsec = monotonicUsec() + delayUsec;
        scheduleRetry();
    }

    // Wakes the sd-event loop at nextRetryUsec.
    void scheduleRetry() {
        if (!event)
            return;
        if (!retrySource) {
            sd_event_source* raw = nullptr;
            if (sd_event_add_time(event.get(), &raw, CLOCK_MONOTONIC, nextRetryUsec, 0, &Impl::onRetry, this) < 0)
                return;
            retrySource.reset(raw);
        } else {
            sd_event_source_set_time(retrySource.get(), nextRetryUsec);
        }
        sd_event_source_set_enabled(retrySource.get(), SD_EVENT_ONESHOT);
    }

    // After a new handler: a connected receiver gets the match it lacks; otherwise one is made.
    void addMatches() {
        if (receiver && !receiverLost) {
            if (int r = installMatches(receiver.get(), false); r < 0) {
                bw::logLine(LOG_WARNING, "NotificationBus: cannot add a match: %s; reconnecting", std::strerror(-r));
                receiverLost = true;
                armRetry(0);
            }
            return;
        }
        ensureReceiver();
    }

    void dropReceiver() {
        matchSlots.clear();
        matchedNames.clear();
        matchesEverything = false;
        knownSenders.clear();
        receiver.reset();
        receiverLost = false;
    }

    bool ensureReceiver() {
        if (receiverLost)
            dropReceiver();
        if (receiver)
            return true;
        // A bus that let the last attempt time out is left alone until its retry is due, however many
        // names are observed meanwhile.
        if (receiverTimedOut && monotonicUsec() < nextRetryUsec)
            return false;
        int error = 0;
        BusPtr bus = openSystemBus(&error);
        // The matches are installed synchronously: once observe() returns, nothing posted afterwards is missed.
        if (bus && (error = installMatches(bus.get(), true)) >= 0)
            error = sd_bus_match_signal(bus.get(), nullptr, "org.freedesktop.DBus.Local", "/org/freedesktop/DBus/Local",
                                        "org.freedesktop.DBus.Local", "Disconnected", &Impl::onDisconnected, this);
        if (bus && error >= 0 && event)
            error = sd_bus_attach_event(bus.get(), event.get(), SD_EVENT_PRIORITY_NORMAL);
        if (!bus || error < 0) {
            matchSlots.clear();
            matchedNames.clear();
            matchesEverything = false;
            if (!receiverFailureLogged)
                bw::logLine(LOG_ERR, "NotificationBus: cannot connect to the system bus: %s", std::strerror(-error));
            receiverFailureLogged = true;
            receiverTimedOut = error == -ETIMEDOUT;
            nextRetryUsec = monotonicUsec() + (receiverTimedOut ? kSilentRetryUsec : kRetryUsec);
            return false;
        }
        receiverFailureLogged = false;
        receiverTimedOut = false;
        receiver = std::move(bus);
        return true;
    }

    void dispatch() {
        if (dispatching)
            return; // the outer loop picks up what arrived meanwhile
        dispatching = true;
        std::size_t handled = 0;
        while (!queue.empty()) {
            ++handled;
            Notification notification = std::move(queue.front());
            queue.pop_front();
            // A handler may observe more names; work on a copy of the list.
            std::vector<NotificationHandler> matching;
            for (const auto& [filter, handler] : handlers) {
                if (!filter || *filter == notification.name)
                    matching.push_back(handler);
            }
            for (const auto& handler : matching) {
                try {
                    handler(notification);
                } catch (const std::exception& e) {
                    bw::logLine(LOG_ERR, "NotificationBus: handler of %s failed: %s", notification.name.c_str(),
                                e.what());
                } catch (...) {
                    bw::logLine(LOG_ERR, "NotificationBus: handler of %s failed", notification.name.c_str());
                }
            }
        }
        dispatching = false;
        overflowLogged = false;
        // After a burst, the memory it took goes back to the system rather than staying with the process.
        if (handled >= kMaxQueued / 4)
            ::malloc_trim(0);
    }

    // Returns a negative errno when the message could not be sent on `bus`.
    static int send(sd_bus* bus, const std::string& name, const std::optional<std::string>& object, plist_t userInfo,
                    bool immediate, bool* contentError) {
        sd_bus_message* raw = nullptr;
        int r = sd_bus_message_new_signal(bus, &raw, kNotificationPath, kNotificationInterface, kNotificationMember);
        if (r < 0)
            return r;
        MessagePtr m(raw);
        if ((r = sd_bus_message_append(m.get(), "sbsb", name.c_str(), int(object.has_value()),
                                       object ? object->c_str() : "", int(userInfo != nullptr))) < 0 ||
            (r = appendDictionary(m.get(), userInfo, 0)) < 0 ||
            (r = sd_bus_message_append(m.get(), "b", int(immediate))) < 0) {
            *contentError = true;
            return r;
        }
        if ((r = sd_bus_send(bus, m.get(), nullptr)) < 0)
            return r;
        // Written out now: a poster may exit right after posting.
        if ((r = flushBounded(bus, kCallTimeoutUsec)) < 0)
            return r;
        // Nothing is expected here but the bus's own greetings; read them so they do not pile up.
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        return 0;
    }
};

NotificationBus::NotificationBus() : d(std::make_unique<Impl>()) {}

NotificationBus::~NotificationBus() {
    // Sources refer to Impl; they go before the connections and the loop.
    d->dispatchSource.reset();
    d->retrySource.reset();
    d->matchSlots.clear();
    d->receiver.reset();
    d->event.reset();
}

void NotificationBus::post(const std::string& name, const std::optional<std::string>& object, plist_t userInfo,
                           bool immediate) {
    tryPost(name, object, userInfo, immediate);
}

bool NotificationBus::tryPost(const std::string& name, const std::optional<std::string>& object, plist_t userInfo,
                              bool immediate) {
    if (userInfo && plist_get_node_type(userInfo) != PLIST_DICT) {
        bw::logLine(LOG_ERR, "NotificationBus: cannot post %s: the user information is no dictionary", name.c_str());
        return false;
    }
    std::lock_guard lock(d->sendMutex);
    int r = 0;
    // A connection that broke since the last post is replaced once before giving up.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool fresh = !d->sender;
        if (fresh) {
            d->sender = d->openSender(&r);
            if (!d->sender) {
                bw::logLine(LOG_ERR, "NotificationBus: cannot connect to the system bus: %s", std::strerror(-r));
                return false;
            }
        }
        bool contentError = false;
        r = Impl::send(d->sender.get(), name, object, userInfo, immediate, &contentError);
        if (r >= 0)
            return true;
        if (contentError) {
            bw::logLine(LOG_ERR, "NotificationBus: cannot post %s: its contents do not fit a bus message: %s",
                        name.c_str(), std::strerror(-r));
            return false;
        }
        d->sender.reset();
        if (r == -ETIMEDOUT)
            d->senderQuietUntilUsec = monotonicUsec() + kSilentRetryUsec;
        if (fresh || r == -ETIMEDOUT)
            break;
    }
    bw::logLine(LOG_ERR, "NotificationBus: cannot post %s: %s", name.c_str(), std::strerror(-r));
    return false;
}

void NotificationBus::observe(const std::string& name, NotificationHandler handler) {
    d->handlers.emplace_back(name, std::move(handler));
    d->addMatches();
}

void NotificationBus::observeAll(NotificationHandler handler) {
    d->handlers.emplace_back(std::nullopt, std::move(handler));
    d->addMatches();
}

void NotificationBus::acceptOnlyFrom(uid_t uid) {
    d->onlyFrom = uid;
}

bool NotificationBus::attachEvent(sd_event* event) {
    if (!event || d->event)
        return false;
    d->event.reset(sd_event_ref(event));
    sd_event_source* raw = nullptr;
    if (sd_event_add_defer(event, &raw, &Impl::onDispatch, d.get()) >= 0) {
        d->dispatchSource.reset(raw);
        sd_event_source_set_enabled(raw, d->queue.empty() ? SD_EVENT_OFF : SD_EVENT_ONESHOT);
    }
    if (d->receiver && sd_bus_attach_event(d->receiver.get(), event, SD_EVENT_PRIORITY_NORMAL) < 0)
        d->dropReceiver();
    if (d->ensureReceiver())
        return true;
    d->scheduleRetry();
    return false;
}

int NotificationBus::fd() {
    return d->receiver && !d->receiverLost ? sd_bus_get_fd(d->receiver.get()) : -1;
}

int NotificationBus::events() {
    if (!d->receiver || d->receiverLost)
        return 0;
    const int events = sd_bus_get_events(d->receiver.get());
    return events < 0 ? 0 : events;
}

std::uint64_t NotificationBus::timeoutUsec() {
    if (!d->queue.empty() && !d->dispatching)
        return 0;
    if (!d->receiver || d->receiverLost)
        return d->nextRetryUsec;
    std::uint64_t usec = UINT64_MAX;
    if (sd_bus_get_timeout(d->receiver.get(), &usec) < 0)
        return 0;
    return usec;
}

void NotificationBus::process() {
    if (d->event)
        return; // the sd-event loop drives this bus
    if (!d->receiver || d->receiverLost) {
        if (monotonicUsec() < d->nextRetryUsec || !d->ensureReceiver()) {
            d->dispatch();
            return;
        }
    }
    // Handlers run whenever the queue is full, so a burst of any size is read without dropping any of it.
    for (bool more = true; more;) {
        more = false;
        for (;;) {
            if (d->queue.size() >= kMaxQueued) {
                more = true;
                break;
            }
            const int r = sd_bus_process(d->receiver.get(), nullptr);
            if (r < 0) {
                if (!d->receiverLost)
                    bw::logLine(LOG_WARNING, "NotificationBus: lost the system bus: %s", std::strerror(-r));
                d->receiverLost = true;
                d->nextRetryUsec = monotonicUsec() + kRetryUsec;
                break;
            }
            if (r == 0 || d->receiverLost)
                break;
        }
        d->dispatch();
        more = more && !d->receiverLost && d->receiver;
    }
    if (d->receiverLost)
        d->dropReceiver();
    d->dispatch();
}

bool NotificationBus::isConnected() {
    std::lock_guard lock(d->sendMutex);
    if (d->sender) {
        // Reading is what reveals a bus that went away meanwhile.
        int r;
        while ((r = sd_bus_process(d->sender.get(), nullptr)) > 0) {
        }
        if (r < 0 || sd_bus_is_open(d->sender.get()) <= 0)
            d->sender.reset();
    }
    if (!d->sender) {
        int r = 0;
        d->sender = d->openSender(&r);
    }
    return d->sender != nullptr;
}

std::string userIdText(uid_t uid) {
    return std::to_string(uid);
}

std::optional<long long> userIdFromText(const std::optional<std::string>& object) {
    if (!object)
        return std::nullopt;
    const char* p = object->c_str();
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return std::nullopt; // no number at all is no user (in particular not root)
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value > (LLONG_MAX - (*p - '0')) / 10)
            return std::nullopt; // no user id is that large
        value = value * 10 + (*p - '0');
    }
    return negative ? -value : value;
}

bool requestIsForUser(const Notification& notification, uid_t uid) {
    const auto target = userIdFromText(notification.object);
    if (!target || *target != static_cast<long long>(uid))
        return false;
    // Any local user can post; only the user in question or root may ask for this user.
    return notification.senderUid && (*notification.senderUid == uid || *notification.senderUid == 0);
}

} // namespace bw
