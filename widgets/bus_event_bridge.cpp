#include "bus_event_bridge.h"

#include <poll.h>
#include <time.h>

#include <algorithm>

namespace bw {

namespace {

// Also a safety net: a name observed outside any bus activity may leave messages already read into sd-bus's
// queue, which no descriptor event announces.
constexpr std::uint64_t kLongestSleepMs = 1000;

std::uint64_t monotonicUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000 + std::uint64_t(ts.tv_nsec) / 1000;
}

} // namespace

BusEventBridge::BusEventBridge(NotificationBus& bus, QObject* parent) : QObject(parent), m_bus(bus) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &BusEventBridge::activity);
    // The first step connects when nobody has yet.
    m_timer.start(0);
}

BusEventBridge::~BusEventBridge() {
    delete m_read;
    delete m_write;
}

void BusEventBridge::activity() {
    m_bus.process();
    rearm();
}

void BusEventBridge::replaceNotifiers(int fd) {
    // The old notifiers may be the ones whose signal is being handled right now.
    for (QSocketNotifier* old : {m_read.data(), m_write.data()}) {
        if (old) {
            old->setEnabled(false);
            old->deleteLater();
        }
    }
    m_fd = fd;
    if (fd < 0)
        return;
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_read, &QSocketNotifier::activated, this, &BusEventBridge::activity);
    connect(m_write, &QSocketNotifier::activated, this, &BusEventBridge::activity);
}

void BusEventBridge::rearm() {
    const int fd = m_bus.fd();
    if (fd != m_fd || (fd >= 0 && !m_read))
        replaceNotifiers(fd);
    if (fd >= 0) {
        const int events = m_bus.events();
        m_read->setEnabled(events & POLLIN);
        m_write->setEnabled(events & POLLOUT);
    }
    const std::uint64_t wake = m_bus.timeoutUsec();
    const std::uint64_t now = monotonicUsec();
    std::uint64_t ms = kLongestSleepMs;
    if (wake != UINT64_MAX)
        ms = std::min<std::uint64_t>(ms, wake <= now ? 0 : (wake - now + 999) / 1000);
    m_timer.start(int(ms));
}

} // namespace bw
