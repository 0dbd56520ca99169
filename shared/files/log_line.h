#pragma once
// The one way a program writes to the system log. Each program names itself once, at start, with
// openlog (a program that does not is named as it was started), and that name is the only prefix its
// lines carry: a message never repeats it. Whatever a message quotes (file names may hold any byte, a
// newline too) stays on its one line.

namespace bw {

// Formats (printf-like) and logs one line at `priority`; control characters in the result become '?'.
// errno is left as it was, so a caller may still report it after the line.
void logLine(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace bw
