#include "plist/reference_time.h"

namespace bw {

double timeIntervalSinceReferenceDate() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return referenceTimeFromTimespec(now);
}

} // namespace bw
