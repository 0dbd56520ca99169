#pragma once
// Owners of sd-bus and sd-event objects for the bus library's own sources.

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdlib>
#include <memory>

namespace bw::bus {

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

} // namespace bw::bus
