#pragma once
// Property-list values to and from D-Bus "a{sv}" dictionaries; internal to the bus library.

#include "plist/plist_ptr.h"

#include <systemd/sd-bus.h>

#include <cstddef>

namespace bw::bus {

// Far below D-Bus's own nesting limit; a deeper value is refused rather than half sent.
constexpr int kMaxDepth = 24;
// Any local user may broadcast on the system bus, and every program of every user reads what comes. A
// user information of a few megabytes of tiny values would become millions of nodes in each of them; the
// largest real one (the settings dictionary) has a few dozen.
constexpr std::size_t kMaxUserInfoNodes = 100'000;

// Appends `dict` (or an empty dictionary for null) as "a{sv}"; a negative errno on failure, -E2BIG for a
// value nested too deeply.
int appendDictionary(sd_bus_message* m, plist_t dict, int depth);
// Reads an array of signature `contents` at the cursor as a property list; null when it is malformed,
// nested too deeply or needs more than `budget` nodes (which counts the nodes still allowed).
PlistPtr readArray(sd_bus_message* m, const char* contents, int depth, std::size_t& budget);

} // namespace bw::bus
