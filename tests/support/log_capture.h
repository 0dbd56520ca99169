#pragma once
// What the code under test logged: bw::logLine writes through syslog, which echoes each line on
// standard error while the capture runs.

#include <functional>
#include <string>
#include <vector>

namespace bw::test {

// The lines logged while `step` ran, each without its program prefix ("ident: ").
std::vector<std::string> linesLoggedBy(const std::function<void()>& step);

} // namespace bw::test
