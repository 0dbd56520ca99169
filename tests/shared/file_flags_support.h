#pragma once
// Access lists and the immutable flag set up for the file tests.

#include "files/unique_fd.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>

#include <string>

namespace bw::test {

// Gives the item a named-user entry; false when the file system has no access lists.
inline bool setExtendedAcl(const std::string& path, acl_type_t type = ACL_TYPE_ACCESS) {
    acl_t acl = acl_from_text("u::rwx,u:nobody:r--,g::r-x,m::r-x,o::---");
    if (!acl)
        return false;
    bool ok = acl_set_file(path.c_str(), type, acl) == 0;
    acl_free(acl);
    return ok;
}

inline bool hasExtendedAccessAcl(const std::string& path) {
    return acl_extended_file_nofollow(path.c_str()) > 0;
}

inline bool setImmutable(const std::string& path, bool on) {
    bw::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK));
    int flags = 0;
    if (!fd || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

} // namespace bw::test
