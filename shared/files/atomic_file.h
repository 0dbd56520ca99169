#pragma once
// Whole-file reads and atomic replacements relative to an open folder, never through a symbolic link
// unless asked to.

#include "files/bytes.h"
#include "files/no_follow.h"
#include "files/unique_fd.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace bw {

// What a whole-file read found. error: 0 when read, else a negative errno: -ENOENT (or -ENOTDIR) when
// missing; -EFBIG when larger than allowed (also when it grew while being read); -EINVAL when not a
// regular file; -ELOOP for a final symbolic link that was not to be followed; otherwise that of the
// failing call.
struct WholeFile {
    Bytes bytes;
    struct stat facts {}; // of the file read (valid once it was opened)
    int error = 0;
};

// Reads the regular file `name` of the folder (AT_FDCWD and a path work too) in one go. Never blocks on
// a FIFO planted under the name. Logs nothing: the caller knows what the file is.
WholeFile readFileAt(int dirFd, const std::string& name, std::size_t maxSize, bool followFinalLink = false);

// The whole content of the regular file `name` in the folder; nothing when it is missing, not a
// regular file (a symbolic link included), unreadable or larger than maxSize (that last one logged).
std::optional<Bytes> readWholeFileAt(int dirFd, const std::string& name, std::size_t maxSize);

struct ReplaceOptions {
    uid_t owner = static_cast<uid_t>(-1); // -1: left as created
    gid_t group = static_cast<gid_t>(-1);
    mode_t mode = static_cast<mode_t>(-1); // -1: 0644 less the umask
    bool keepExisting = false;             // an existing file is not replaced (AlreadyExists)
};
enum class ReplaceResult { Written, AlreadyExists, Failed };

// Replaces `name` in the folder by a file holding exactly `data`: a fresh temporary file created with
// O_CREAT|O_EXCL|O_NOFOLLOW in the same folder (named `temporary` when given, which must not exist
// yet), written whole, fsync'ed, given owner, group and mode, renamed over `name`, and the folder
// synced so that the new name survives a crash. On failure the old file stays and the temporary one is
// removed; `who` names the caller in the one log line.
ReplaceResult replaceFileAt(int dirFd, const std::string& name, std::span<const std::uint8_t> data,
                            const ReplaceOptions& options, const char* who, const std::string& temporary = {});

// replaceFileAt with owner and group (each unless -1); true when written.
bool writeFileAtomicallyAt(int dirFd, const std::string& name, std::span<const std::uint8_t> data, uid_t owner,
                           gid_t group, const char* who);
// The same through a given temporary name, which must not exist yet (nothing is written when it does).
bool writeFileAtomicallyVia(int dirFd, const std::string& name, const std::string& temporary,
                            std::span<const std::uint8_t> data, uid_t owner, gid_t group, const char* who);

} // namespace bw
