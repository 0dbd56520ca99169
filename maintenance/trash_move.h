#pragma once
// Moving an item into the user's freedesktop Trash: "files/<name>" plus "info/<name>.trashinfo".

#include <optional>
#include <string>

namespace bw {

// $XDG_DATA_HOME/Trash
std::string homeTrashFolder();

// Moves `path` into `trashFolder`/files under its own name, or "name 2", "name 3"… when taken, after
// writing the matching .trashinfo (Path percent-encoded, DeletionDate in local time). Answers the new
// path; nothing (and no .trashinfo left) when the move fails, e.g. across file systems.
std::optional<std::string> moveToTrash(const std::string& path, const std::string& trashFolder);

// The percent-encoding a .trashinfo's Path takes: every byte but unreserved characters and '/'.
std::string trashInfoEncodedPath(const std::string& path);

} // namespace bw
