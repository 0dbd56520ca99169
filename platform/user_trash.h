#pragma once
// Moving a file or folder into the user's freedesktop Trash ($XDG_DATA_HOME/Trash), with the
// info/<name>.trashinfo entry the desktop's trash view reads, and putting it back.

#include <optional>
#include <string>

namespace bw {

struct TrashedItem {
    std::string trashedPath; // …/Trash/files/<name>
    std::string infoPath;    // …/Trash/info/<name>.trashinfo
    std::string originalPath;
};

// The user's freedesktop Trash: $XDG_DATA_HOME/Trash.
std::string homeTrashFolder();

// Moves `path` (absolute) into `trashFolder` under its own name, or "<name> 2", "<name> 3" … when
// that is taken, after writing the matching .trashinfo. Nothing when it cannot be moved (for example
// because it lies on another file system than the Trash); `error` then says why and nothing has changed.
std::optional<TrashedItem> moveToTrashFolder(const std::string& path, const std::string& trashFolder,
                                             std::string* error = nullptr);

// moveToTrashFolder into the user's own Trash.
std::optional<TrashedItem> moveToUserTrash(const std::string& path, std::string* error = nullptr);

// Puts a trashed item back where it was, when nothing took its place meanwhile.
bool restoreFromUserTrash(const TrashedItem& item);

// The percent-encoding a .trashinfo's Path takes: every byte but unreserved characters and '/'.
std::string trashInfoEncodedPath(const std::string& path);

// The text of a .trashinfo entry, its path encoded as above.
std::string trashInfoText(const std::string& originalPath, const std::string& deletionDate);

} // namespace bw
