// bw2ctl notify: post a notification on the system bus, or watch what passes there.

#include "command.h"
#include "plist/json_writer.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "plist/plist_json.h"

#include <poll.h>
#include <syslog.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace bw::cli {

namespace {

constexpr char kUsage[] = "usage: bw2ctl notify post NAME [--object TEXT] [--user-info JSON] [--immediate]\n"
                          "       bw2ctl notify monitor [--count N] [--timeout SECONDS]\n";

bool carriesUserId(const std::string& name) {
    return name == notif::kStartProtection || name == notif::kStopProtection || name == notif::kDaemonsMustQuit ||
           name == notif::kDaemonsMustStop;
}

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int post(const std::vector<std::string>& args) {
    if (args.size() < 2 || args[1].empty() || args[1][0] == '-')
        return usage();
    const std::string& name = args[1];
    std::optional<std::string> object;
    PlistPtr userInfo;
    bool immediate = false;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--immediate") {
            immediate = true;
        } else if (args[i] == "--object" && i + 1 < args.size()) {
            object = args[++i];
        } else if (args[i] == "--user-info" && i + 1 < args.size()) {
            std::string error;
            userInfo = bw::plistFromJson(args[++i], &error);
            if (!userInfo) {
                std::fprintf(stderr, "bw2ctl notify: --user-info: %s\n", error.c_str());
                return 2;
            }
            if (plist_get_node_type(userInfo.get()) != PLIST_DICT) {
                std::fprintf(stderr, "bw2ctl notify: --user-info must be a JSON object\n");
                return 2;
            }
        } else {
            return usage();
        }
    }
    NotificationBus bus;
    if (!bus.tryPost(name, object, userInfo.get(), immediate))
        return 1;
    // Receivers of these requests ask the bus who sent them, which it can tell only while we are connected.
    if (carriesUserId(name))
        std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
}

std::uint64_t nowUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000 + std::uint64_t(ts.tv_nsec) / 1000;
}

int monitor(const std::vector<std::string>& args) {
    long long count = 0; // 0: no limit
    double timeout = 0;  // 0: none
    for (size_t i = 1; i < args.size(); ++i) {
        char* end = nullptr;
        if (args[i] == "--count" && i + 1 < args.size()) {
            count = std::strtoll(args[++i].c_str(), &end, 10);
            if (*end || count <= 0)
                return usage();
        } else if (args[i] == "--timeout" && i + 1 < args.size()) {
            timeout = std::strtod(args[++i].c_str(), &end);
            if (*end || !(timeout > 0))
                return usage();
        } else {
            return usage();
        }
    }

    NotificationBus bus;
    long long printed = 0;
    bus.observeAll([&](const Notification& n) {
        if (count && printed >= count)
            return;
        std::string line = "{\"name\": " + bw::jsonQuoted(n.name) +
                           ", \"object\": " + (n.object ? bw::jsonQuoted(*n.object) : std::string("null")) +
                           ", \"userInfo\": " + bw::plistToJson(n.userInfo.get()) +
                           ", \"immediate\": " + (n.immediate ? "true" : "false") + "}\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        ++printed;
    });
    if (bus.fd() >= 0)
        std::fprintf(stderr, "bw2ctl notify: listening\n");
    else
        std::fprintf(stderr, "bw2ctl notify: no system bus yet; retrying\n");
    std::fflush(stderr);

    // A timeout longer than the clock can count (about 580,000 years) is none at all.
    const std::uint64_t start = nowUsec();
    const double timeoutUsec = timeout * 1e6;
    const std::uint64_t deadline =
        timeout > 0 && timeoutUsec < double(UINT64_MAX - start) ? start + std::uint64_t(timeoutUsec) : UINT64_MAX;
    bool announced = bus.fd() >= 0;
    while (!count || printed < count) {
        const std::uint64_t now = nowUsec();
        if (now >= deadline)
            return 1;
        std::uint64_t wake = std::min(deadline, bus.timeoutUsec());
        const int waitMs = wake <= now ? 0 : int(std::min<std::uint64_t>((wake - now + 999) / 1000, 60'000));
        pollfd p{bus.fd(), short(bus.events()), 0};
        if (p.fd >= 0)
            poll(&p, 1, waitMs);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        bus.process();
        if (!announced && bus.fd() >= 0) {
            std::fprintf(stderr, "bw2ctl notify: listening\n");
            announced = true;
        }
    }
    return 0;
}

int notifyCommand(const std::vector<std::string>& args) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    // Bus failures are logged; show them on the terminal as well.
    openlog("bw2ctl", LOG_PERROR, LOG_USER);
    if (args[0] == "post")
        return post(args);
    if (args[0] == "monitor")
        return monitor(args);
    return usage();
}

} // namespace

BW2CTL_COMMAND("notify", "post a notification on the system bus, or watch them", notifyCommand);

} // namespace bw::cli
