#include "launch_validation.h"

// The checks are written by the launcher's work; until then every launch is refused.
namespace bw {

bool validateDaemonArguments(const std::vector<std::string>& args, uid_t, std::string* reason) {
    if (reason)
        *reason = args.size() == 8 ? "launch validation not available" : "wrong number of arguments";
    return false;
}

} // namespace bw
