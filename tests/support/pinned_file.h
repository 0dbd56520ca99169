#pragma once
// A file that cannot be removed, for tests of what happens to a folder that will not go.

#include <functional>
#include <string>

namespace bw::test {

// Root: the file's immutable flag. Anybody else: its folder made read-only. Answers what undoes it, or
// nothing when the file system has no such flag.
std::function<void()> pinDown(const std::string& file);

} // namespace bw::test
