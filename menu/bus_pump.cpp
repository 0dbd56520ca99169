#include "bus_pump.h"

#include "notification_bus.h"

#include <poll.h>
#include <time.h>

#include <cstdint>

namespace bw {

BusPump::BusPump(NotificationBus& bus, QObject* parent) : QObject(parent), m_bus(bus) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &BusPump::dispatch);
    rearm();
}

void BusPump::dispatch() {
    m_bus.process();
    rearm();
}

void BusPump::rearm() {
    int fd = m_bus.fd();
    if (fd != m_fd) {
        m_read.reset();
        m_write.reset();
        m_fd = fd;
        if (fd >= 0) {
            m_read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            connect(m_read.get(), &QSocketNotifier::activated, this, &BusPump::dispatch);
            m_write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            connect(m_write.get(), &QSocketNotifier::activated, this, &BusPump::dispatch);
        }
    }
    if (fd < 0) {
        // No bus yet: try again in a while, as every poster does.
        m_timer.start(2000);
        return;
    }
    m_write->setEnabled((m_bus.events() & POLLOUT) != 0);
    std::uint64_t deadline = m_bus.timeoutUsec();
    if (deadline == UINT64_MAX) {
        m_timer.stop();
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t nowUsec =
        static_cast<std::uint64_t>(now.tv_sec) * 1000000ULL + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    std::uint64_t waitMs = deadline > nowUsec ? (deadline - nowUsec + 999) / 1000 : 0;
    m_timer.start(static_cast<int>(waitMs > 60000 ? 60000 : waitMs));
}

} // namespace bw
