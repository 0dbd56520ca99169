#pragma once
// The end of the daemon's root: after start-up it keeps its user's ids and a single capability.

#include <sys/types.h>

#include <string>

namespace bw {

// Every user and group id becomes the user's (real, effective, saved and file-system ids), so that what
// the daemon makes is born the user's, what it reads is what the user may read, and root cannot be
// regained. The one capability kept is CAP_LINUX_IMMUTABLE: unlocking items of the user's own that the
// immutable flag protects is the only work the user's rights cannot do. No-new-privileges is set, the
// bounding set is emptied and the process is not dumpable. The supplementary groups stay those the user
// started with. Checked afterwards; false (with `why`) when anything did not take. Call it before any
// thread or bus connection exists: ids and capabilities are per thread, and a bus connection keeps the
// ids it was opened with.
bool dropPrivilegesToUser(uid_t uid, gid_t gid, std::string* why);

// Raises the soft limit of open descriptors to the hard one (walks of deep folders hold one per level).
void raiseDescriptorLimit();

} // namespace bw
