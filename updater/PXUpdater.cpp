#include "PXUpdater.h"

#include <syslog.h>

namespace bw {

void PXUpdater::checkVersionAsynchronous() {
    _autoUpdate = false;
    ++m_checksRequested;
    syslog(LOG_INFO, "-[PXUpdater checkVersionAsynchronous] update check for %s not available in this build",
           _productRef.c_str());
}

} // namespace bw
