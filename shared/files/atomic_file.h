#pragma once
// Whole-file reads and atomic replacements relative to an open folder, never through a symbolic link.

#include "files/bytes.h"
#include "files/unique_fd.h"

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace bw {

// Opens a folder for *At calls without following a final symbolic link; invalid on failure (errno set).
UniqueFd openFolderNoFollow(const std::string& path);

// The whole content of the regular file `name` in the folder; nothing when it is missing, not a
// regular file (a symbolic link included), unreadable or larger than maxSize.
std::optional<Bytes> readWholeFileAt(int dirFd, const std::string& name, std::size_t maxSize);

// Replaces `name` in the folder by a file holding exactly `data`: a fresh temporary file created with
// O_CREAT|O_EXCL|O_NOFOLLOW in the same folder, written whole, fsync'ed, given owner/group (each
// unless -1), then renamed over `name`. On failure the old file stays and the temporary one is removed.
// `who` names the caller in the log line.
bool writeFileAtomicallyAt(int dirFd, const std::string& name, std::span<const std::uint8_t> data, uid_t owner,
                           gid_t group, const char* who);

// The same through a given temporary name, which must not exist yet (nothing is written when it does).
bool writeFileAtomicallyVia(int dirFd, const std::string& name, const std::string& temporary,
                            std::span<const std::uint8_t> data, uid_t owner, gid_t group, const char* who);

} // namespace bw
