#pragma once
// What the agent's Qt tests share: one application object, waiting with the event loop running, and a
// temporary home with its configuration and data folders.

#include "temp_dir.h"

#include <functional>

class QApplication;

namespace bw::test {

// The test program's application object, made on the first call with `name` as its program name.
QApplication& agentApplication(const char* name);

// Runs the event loop until `condition` holds or `milliseconds` pass; answers the condition.
bool waitUntil(const std::function<bool()>& condition, int milliseconds);

// HOME, XDG_CONFIG_HOME and XDG_DATA_HOME point into `home` (its .config made) until leaveHome().
void enterHome(const TempDir& home);
void leaveHome();

} // namespace bw::test
