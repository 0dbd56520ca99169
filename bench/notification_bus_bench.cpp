// Cost of one notification through a private bus: posting alone, posting and receiving, and a request
// whose sender's credentials the receiver asks the bus for.

#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "private_bus.h"

#include <benchmark/benchmark.h>

#include <poll.h>

namespace {

using namespace bw;

PlistPtr cacheInfo() {
    PlistPtr info(plist_new_dict());
    plist_dict_set_item(info.get(), notif::kCachePathKey, plist_new_string("/home/someone/.Binwarden2Cache"));
    plist_dict_set_item(info.get(), notif::kItemsMovedToCache, plist_new_uint(12));
    return info;
}

void waitFor(NotificationBus& bus, const long& counter, long target) {
    while (counter < target) {
        pollfd p{bus.fd(), short(bus.events()), 0};
        poll(&p, 1, 100);
        bus.process();
    }
}

void BM_Post(benchmark::State& state) {
    test::PrivateBus privateBus;
    NotificationBus bus;
    PlistPtr info = cacheInfo();
    for (auto _ : state)
        bus.post(notif::kNewDataInCache, std::nullopt, info.get(), true);
}
BENCHMARK(BM_Post);

void roundTrip(benchmark::State& state, const char* name, const std::optional<std::string>& object, plist_t info) {
    test::PrivateBus privateBus;
    NotificationBus sender, receiver;
    long received = 0;
    receiver.observe(name, [&](const Notification&) { ++received; });
    long posted = 0;
    for (auto _ : state) {
        sender.post(name, object, info, true);
        waitFor(receiver, received, ++posted);
    }
}

void BM_PostAndReceive(benchmark::State& state) {
    PlistPtr info = cacheInfo();
    roundTrip(state, notif::kNewDataInCache, std::nullopt, info.get());
}
BENCHMARK(BM_PostAndReceive);

void BM_RequestWithSenderCheck(benchmark::State& state) {
    roundTrip(state, notif::kStopProtection, userIdText(getuid()), nullptr);
}
BENCHMARK(BM_RequestWithSenderCheck);

} // namespace
