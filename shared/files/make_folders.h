#pragma once
// mkdir -p: one way to make a folder and whatever is missing above it.

#include <sys/types.h>

#include <string>

namespace bw {

// Makes `path` and every missing folder above it with `mode` (less the umask), the path resolved as the
// system resolves it. 0 when a folder stands there afterwards; otherwise a negative errno (-ENOTDIR when
// something else stands there, -ENOENT for an empty path).
int makeFolderPath(const std::string& path, mode_t mode);

} // namespace bw
