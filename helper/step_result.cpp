#include "step_result.h"

namespace bw::helper {

int stepResult(const char* /*step*/, int result) {
    return result;
}

} // namespace bw::helper
