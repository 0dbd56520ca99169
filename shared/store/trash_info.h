#pragma once
// The desktop trash's record of where an item was thrown from: "info/<name>.trashinfo" beside "files/".
// The file is written by any program of the user and read by the root daemon, so it is treated as hostile.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

// A record is a few hundred bytes; a longer file is not one.
inline constexpr std::size_t kMaxTrashInfoSize = 32 * 1024;

// The absolute path in the "Path=" key of the record's "[Trash Info]" group, percent-decoded. A relative
// path is taken from volumeTop (the top of the volume whose trash holds the record); with an empty
// volumeTop (the home trash) only absolute paths count. Nothing when the text is no record or the path is
// unsafe: malformed escapes, not UTF-8, a control character, a "." or ".." component, the key given twice,
// longer than PATH_MAX or a component longer than NAME_MAX, or "/" itself.
std::optional<std::string> originalPathFromTrashInfo(std::string_view text, const std::string& volumeTop);

// An original path made safe to act on: absolute, UTF-8 without control characters, no "." or ".."
// component, within PATH_MAX and NAME_MAX, not "/" itself; rebuilt with single slashes. Nothing otherwise.
std::optional<std::string> safeOriginalPath(std::string_view path);

// Reads "<itemName>.trashinfo" of an open info folder and answers its original path as above. The file
// is opened with the file-system ids of `user`/`group` when the process runs as root (and must belong to
// that user), never through a symbolic link; a missing, non-regular or oversized file counts as absent.
std::optional<std::string> readTrashInfoOriginalPathAt(int infoDirFd, const std::string& itemName,
                                                       const std::string& volumeTop, uid_t user, gid_t group);

} // namespace bw
