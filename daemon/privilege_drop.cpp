#include "privilege_drop.h"

#include <cap-ng.h>
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bw {

bool dropPrivilegesToUser(uid_t uid, gid_t gid, std::string* why) {
    auto fail = [why](const std::string& text) {
        if (why)
            *why = text;
        return false;
    };
    if (uid == 0)
        return fail("the user is root");
    capng_clear(CAPNG_SELECT_BOTH);
    if (capng_update(CAPNG_ADD, static_cast<capng_type_t>(CAPNG_EFFECTIVE | CAPNG_PERMITTED), CAP_LINUX_IMMUTABLE) !=
        0)
        return fail("cannot select the capabilities to keep");
    // Keeps the capabilities selected above across the change of ids and empties the bounding set.
    if (int rc = capng_change_id(static_cast<int>(uid), static_cast<int>(gid), CAPNG_CLEAR_BOUNDING); rc != 0)
        return fail("cannot change to the user's ids (libcap-ng " + std::to_string(rc) + ")");
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return fail(std::string("cannot set no-new-privileges: ") + std::strerror(errno));
    // The memory of a process that was root is nobody's to read.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (::getresuid(&ru, &eu, &su) != 0 || ru != uid || eu != uid || su != uid ||
        static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) != uid)
        return fail("the user ids did not all change");
    if (::getresgid(&rg, &eg, &sg) != 0 || rg != gid || eg != gid || sg != gid ||
        static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) != gid)
        return fail("the group ids did not all change");
    // Neither root nor any capability beyond the one kept may come back.
    if (::setresuid(0, 0, 0) == 0 || ::setresgid(0, 0, 0) == 0)
        return fail("root could be regained");
    capng_get_caps_process();
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
        if (cap == CAP_LINUX_IMMUTABLE)
            continue;
        if (capng_have_capability(CAPNG_PERMITTED, static_cast<unsigned>(cap)) ||
            capng_have_capability(CAPNG_EFFECTIVE, static_cast<unsigned>(cap)))
            return fail("capability " + std::to_string(cap) + " is still held");
    }
    return true;
}

void raiseDescriptorLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace bw
