#pragma once
// Times are stored as seconds since 1 January 2001 00:00:00 UTC, as doubles.

#include <ctime>

namespace bw {

// Seconds between the Unix epoch and 1 January 2001 00:00:00 UTC.
inline constexpr double kReferenceDateOffset = 978307200.0;

inline double referenceTimeFromUnix(double unixSeconds) {
    return unixSeconds - kReferenceDateOffset;
}
inline double unixFromReferenceTime(double referenceSeconds) {
    return referenceSeconds + kReferenceDateOffset;
}
inline double referenceTimeFromTimespec(const struct timespec& ts) {
    return referenceTimeFromUnix(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

// Now, in seconds since the reference date.
double timeIntervalSinceReferenceDate();

} // namespace bw
