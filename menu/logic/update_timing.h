#pragma once
// When the agent checks for updates: 30 s after start, then every day; a check is skipped when the last
// one is less than 86,100 s old (300 s short of the period, so timer jitter never skips a day).

namespace bw {

inline constexpr int kFirstUpdateCheckDelaySeconds = 30;
inline constexpr int kUpdateCheckPeriodSeconds = 86400;
inline constexpr double kMinimumSecondsBetweenChecks = 86100.0;

// `now` and `lastCheck` in seconds since 2001; a last check of 0 means never.
inline bool updateCheckIsDue(double now, double lastCheck) {
    return !(now - lastCheck < kMinimumSecondsBetweenChecks);
}

} // namespace bw
