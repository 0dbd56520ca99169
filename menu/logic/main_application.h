#pragma once
// Opening the main application from the agent: on its first window, or on its settings, which it is
// told by a flag file in its support folder.

#include "protection_services.h"

#include <string>

namespace bw {

// Launches the main application of the installation at `installRoot`; with `atSettings`, first leaves
// the settings flag in "<dataHome>/Binwarden 2". False (one line logged when the launch failed) when it
// is not there to run or could not be started.
bool openMainApplication(ProtectionServices& services, const std::string& installRoot, const std::string& dataHome,
                         bool atSettings);

} // namespace bw
