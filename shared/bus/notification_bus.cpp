#include "bus/notification_bus.h"

#include "bus/notification_names.h"

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

namespace {

constexpr char kDefaultSystemBus[] = "unix:path=/run/dbus/system_bus_socket";
constexpr std::uint64_t kRetryUsec = 1'000'000; // a failed connect on a local socket costs nothing
// Far below D-Bus's own nesting limit; a deeper value is refused rather than half sent.
constexpr int kMaxDepth = 24;
// Any local user may broadcast on the system bus, and every program of every user reads what comes. A
// user information of a few megabytes of tiny values would become millions of nodes in each of them; the
// largest real one (the settings dictionary) has a few dozen.
constexpr std::size_t kMaxUserInfoNodes = 100'000;
// A stuck bus must not stall a main thread for sd-bus's default 25 seconds.
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;
// Authentication and Hello take milliseconds on a local bus; a peer that accepts and then stays silent
// would otherwise hold the caller for sd-bus's authentication timeout, or for ever in a flush.
constexpr std::uint64_t kConnectTimeoutUsec = 3'000'000;
// The same silent peer is asked again less often, so that the driving thread is not mostly waiting on it.
constexpr std::uint64_t kSilentRetryUsec = 15'000'000;
// Notifications waiting for their handlers, and senders whose uid is remembered: both bounded, so that a
// flood of signals (any local user may broadcast) cannot grow a receiver without limit.
constexpr std::size_t kMaxQueued = 256;
constexpr std::size_t kMaxKnownSenders = 256;

// Never flushes: a flush waits without a bound for a peer that does not read. Whatever had to reach the
// bus was written out by send() already.
struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

struct CredsUnref {
    void operator()(sd_bus_creds* creds) const { sd_bus_creds_unref(creds); }
};
using CredsPtr = std::unique_ptr<sd_bus_creds, CredsUnref>;

struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

struct SourceUnref {
    void operator()(sd_event_source* source) const { sd_event_source_disable_unref(source); }
};
using SourcePtr = std::unique_ptr<sd_event_source, SourceUnref>;

struct EventUnref {
    void operator()(sd_event* event) const { sd_event_unref(event); }
};
using EventPtr = std::unique_ptr<sd_event, EventUnref>;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

std::uint64_t monotonicUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000 + std::uint64_t(ts.tv_nsec) / 1000;
}

// The variable is read here on purpose rather than through sd_bus_open_system: a daemon started through the
// set-uid helper would otherwise ignore it, and the helper sets it only from its trusted configuration.
std::string systemBusAddress() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address ? address : kDefaultSystemBus;
}

// Processes and waits until `done` holds or the bus fails; -ETIMEDOUT after `timeoutUsec`.
template <typename Done> int waitBounded(sd_bus* bus, std::uint64_t timeoutUsec, Done done) {
    const std::uint64_t deadline = monotonicUsec() + timeoutUsec;
    for (;;) {
        int r = done();
        if (r != 0)
            return r < 0 ? r : 0;
        if ((r = sd_bus_process(bus, nullptr)) < 0)
            return r;
        // Checked after every step: a peer that keeps sending must not keep us here either.
        const std::uint64_t now = monotonicUsec();
        if (now >= deadline)
            return done() > 0 ? 0 : -ETIMEDOUT;
        if (r > 0)
            continue;
        if ((r = sd_bus_wait(bus, deadline - now)) < 0 && r != -EINTR)
            return r;
    }
}

// Writes out everything queued on `bus`, giving up after `timeoutUsec`.
int flushBounded(sd_bus* bus, std::uint64_t timeoutUsec) {
    return waitBounded(bus, timeoutUsec, [bus] {
        std::uint64_t queued = 0;
        const int r = sd_bus_get_n_queued_write(bus, &queued);
        return r < 0 ? r : int(queued == 0);
    });
}

// A connection that has authenticated and been welcomed, so that nothing after it waits on sd-bus's own
// (long) setup timeouts.
BusPtr openSystemBus(int* error) {
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0) {
        *error = r;
        return nullptr;
    }
    BusPtr bus(raw);
    const std::string address = systemBusAddress();
    if ((r = sd_bus_set_address(bus.get(), address.c_str())) < 0 || (r = sd_bus_set_bus_client(bus.get(), 1)) < 0 ||
        (r = sd_bus_set_method_call_timeout(bus.get(), kCallTimeoutUsec)) < 0 || (r = sd_bus_start(bus.get())) < 0 ||
        (r = waitBounded(bus.get(), kConnectTimeoutUsec, [&bus] { return sd_bus_is_ready(bus.get()); })) < 0) {
        *error = r;
        return nullptr;
    }
    return bus;
}

// ---- property list → D-Bus ----

int appendDictionary(sd_bus_message* m, plist_t dict, int depth);

int appendVariant(sd_bus_message* m, plist_t node, int depth) {
    if (depth > kMaxDepth)
        return -E2BIG;
    int r = 0;
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char* raw = nullptr;
        plist_get_string_val(node, &raw);
        CString text(raw);
        return sd_bus_message_append(m, "v", "s", text ? text.get() : "");
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return sd_bus_message_append(m, "v", "b", int(value != 0));
    }
    case PLIST_UINT: {
        // This libplist keeps every integer as 64 raw bits (negative numbers in two's complement), so the
        // signed form carries each of them unchanged and shows negative numbers as such.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return sd_bus_message_append(m, "v", "x", static_cast<int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return sd_bus_message_append(m, "v", "d", value);
    }
    case PLIST_DATE: {
        // A date is a struct of one double (seconds since 2001-01-01), so that it comes back as a date.
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return sd_bus_message_append(m, "v", "(d)", double(sec) + double(usec) / 1e6);
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        CString bytes(raw);
        if ((r = sd_bus_message_open_container(m, 'v', "ay")) < 0 ||
            (r = sd_bus_message_append_array(m, 'y', bytes ? bytes.get() : "", length)) < 0)
            return r;
        return sd_bus_message_close_container(m);
    }
    case PLIST_ARRAY: {
        if ((r = sd_bus_message_open_container(m, 'v', "av")) < 0 ||
            (r = sd_bus_message_open_container(m, 'a', "v")) < 0)
            return r;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            if ((r = appendVariant(m, plist_array_get_item(node, i), depth + 1)) < 0)
                return r;
        }
        if ((r = sd_bus_message_close_container(m)) < 0)
            return r;
        return sd_bus_message_close_container(m);
    }
    case PLIST_DICT:
        if ((r = sd_bus_message_open_container(m, 'v', "a{sv}")) < 0 || (r = appendDictionary(m, node, depth + 1)) < 0)
            return r;
        return sd_bus_message_close_container(m);
    default:
        // Keys, archive uids and empty nodes are no property-list values.
        return -EINVAL;
    }
}

int appendDictionary(sd_bus_message* m, plist_t dict, int depth) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    if (dict) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(dict, &it);
        std::unique_ptr<void, FreeDeleter> iterator(it);
        for (;;) {
            char* rawKey = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(dict, it, &rawKey, &value);
            CString key(rawKey);
            if (!value)
                break;
            if ((r = sd_bus_message_open_container(m, 'e', "sv")) < 0 ||
                (r = sd_bus_message_append_basic(m, 's', key ? key.get() : "")) < 0 ||
                (r = appendVariant(m, value, depth)) < 0 || (r = sd_bus_message_close_container(m)) < 0)
                return r;
        }
    }
    return sd_bus_message_close_container(m);
}

// ---- D-Bus → property list ----

PlistPtr readValue(sd_bus_message* m, int depth, std::size_t& budget);

// `budget` counts the nodes still allowed; a value that would need more is refused.
PlistPtr readArray(sd_bus_message* m, const char* contents, int depth, std::size_t& budget) {
    if (budget == 0)
        return nullptr;
    --budget;
    if (std::strcmp(contents, "y") == 0) {
        const void* bytes = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(m, 'y', &bytes, &size) < 0)
            return nullptr;
        return PlistPtr(plist_new_data(static_cast<const char*>(bytes), size));
    }
    if (sd_bus_message_enter_container(m, 'a', contents) <= 0)
        return nullptr;
    if (contents[0] == '{') {
        // Dictionaries keyed by text; the entry signature is the contents without its braces.
        const std::string entry(contents + 1, std::strlen(contents) - 2);
        if (entry.empty() || entry[0] != 's')
            return nullptr;
        PlistPtr dict(plist_new_dict());
        int r;
        while ((r = sd_bus_message_enter_container(m, 'e', entry.c_str())) > 0) {
            const char* key = nullptr;
            if (sd_bus_message_read_basic(m, 's', &key) < 0)
                return nullptr;
            PlistPtr value = readValue(m, depth + 1, budget);
            if (!value || sd_bus_message_exit_container(m) < 0)
                return nullptr;
            plist_dict_set_item(dict.get(), key, value.release());
        }
        if (r < 0 || sd_bus_message_exit_container(m) < 0)
            return nullptr;
        return dict;
    }
    PlistPtr array(plist_new_array());
    int r;
    while ((r = sd_bus_message_at_end(m, false)) == 0) {
        PlistPtr item = readValue(m, depth + 1, budget);
        if (!item)
            return nullptr;
        plist_array_append_item(array.get(), item.release());
    }
    if (r < 0 || sd_bus_message_exit_container(m) < 0)
        return nullptr;
    return array;
}

template <typename T> bool readBasic(sd_bus_message* m, char type, T* value) {
    return sd_bus_message_read_basic(m, type, value) >= 0;
}

PlistPtr readValue(sd_bus_message* m, int depth, std::size_t& budget) {
    if (depth > kMaxDepth)
        return nullptr;
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0)
        return nullptr;
    // Containers count themselves in readArray; a variant is only the wrapper of what it holds.
    if (type != 'a' && type != 'v') {
        if (budget == 0)
            return nullptr;
        --budget;
    }
    switch (type) {
    case 's':
    case 'o':
    case 'g': {
        const char* text = nullptr;
        return readBasic(m, type, &text) ? PlistPtr(plist_new_string(text)) : nullptr;
    }
    case 'b': {
        int value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_bool(value != 0)) : nullptr;
    }
    case 'y': {
        uint8_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(value)) : nullptr;
    }
    case 'n': {
        int16_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(uint64_t(int64_t(value)))) : nullptr;
    }
    case 'q': {
        uint16_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(value)) : nullptr;
    }
    case 'i': {
        int32_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(uint64_t(int64_t(value)))) : nullptr;
    }
    case 'u': {
        uint32_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(value)) : nullptr;
    }
    case 'x': {
        int64_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(uint64_t(value))) : nullptr;
    }
    case 't': {
        uint64_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(value)) : nullptr;
    }
    case 'd': {
        double value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_real(value)) : nullptr;
    }
    case 'v': {
        if (sd_bus_message_enter_container(m, 'v', contents) <= 0)
            return nullptr;
        PlistPtr inner = readValue(m, depth + 1, budget);
        if (!inner || sd_bus_message_exit_container(m) < 0)
            return nullptr;
        return inner;
    }
    case 'a':
        return readArray(m, contents, depth, budget);
    case 'r': {
        if (std::strcmp(contents, "d") != 0 || sd_bus_message_enter_container(m, 'r', "d") <= 0)
            return nullptr;
        double seconds = 0;
        if (!readBasic(m, 'd', &seconds) || sd_bus_message_exit_container(m) < 0 || !std::isfinite(seconds) ||
            std::fabs(seconds) > 2147483647.0)
            return nullptr;
        const double whole = std::floor(seconds);
        auto usec = static_cast<int32_t>(std::lround((seconds - whole) * 1e6));
        auto sec = static_cast<int32_t>(whole);
        if (usec >= 1'000'000) {
            usec -= 1'000'000;
            sec += 1;
        }
        return PlistPtr(plist_new_date(sec, usec));
    }
    default:
        return nullptr;
    }
}

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
            syslog(LOG_WARNING, "NotificationBus: ignored a malformed notification from %s",
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
                syslog(LOG_WARNING, "NotificationBus: more than %zu notifications wait; dropping the newest", kMaxQueued);
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
        syslog(LOG_WARNING, "NotificationBus: lost the system bus; reconnecting");
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
                syslog(LOG_WARNING, "NotificationBus: cannot add a match: %s; reconnecting", std::strerror(-r));
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
                syslog(LOG_ERR, "NotificationBus: cannot connect to the system bus: %s", std::strerror(-error));
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
                    syslog(LOG_ERR, "NotificationBus: handler of %s failed: %s", notification.name.c_str(), e.what());
                } catch (...) {
                    syslog(LOG_ERR, "NotificationBus: handler of %s failed", notification.name.c_str());
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
        syslog(LOG_ERR, "NotificationBus: cannot post %s: the user information is no dictionary", name.c_str());
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
                syslog(LOG_ERR, "NotificationBus: cannot connect to the system bus: %s", std::strerror(-r));
                return false;
            }
        }
        bool contentError = false;
        r = Impl::send(d->sender.get(), name, object, userInfo, immediate, &contentError);
        if (r >= 0)
            return true;
        if (contentError) {
            syslog(LOG_ERR, "NotificationBus: cannot post %s: its contents do not fit a bus message: %s", name.c_str(),
                   std::strerror(-r));
            return false;
        }
        d->sender.reset();
        if (r == -ETIMEDOUT)
            d->senderQuietUntilUsec = monotonicUsec() + kSilentRetryUsec;
        if (fresh || r == -ETIMEDOUT)
            break;
    }
    syslog(LOG_ERR, "NotificationBus: cannot post %s: %s", name.c_str(), std::strerror(-r));
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
                    syslog(LOG_WARNING, "NotificationBus: lost the system bus: %s", std::strerror(-r));
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
