#pragma once
// The locked bit of an item: the file system's immutable flag (FS_IMMUTABLE_FL).

namespace bw {

// Sets or clears the flag of the regular file or folder behind `itemFd` (an O_PATH descriptor is
// enough). 0 when it is as asked, also when nothing had to change, the item is of another kind or its
// file system keeps no flags; otherwise the negative errno of the failing call.
int setLockedFlag(int itemFd, bool locked);

// Whether the flag is set; false when it cannot be read.
bool isLockedItem(int itemFd);

} // namespace bw
