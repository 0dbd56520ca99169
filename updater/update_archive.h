#pragma once
// Unpacking an update archive (a .tar.gz of an install tree, read with libarchive) into a fresh folder.
// The archive is treated as hostile even after its signature was checked: nothing is written outside
// the folder and nothing is created that could raise anyone's rights.

#include <cstdint>
#include <string>

namespace bw {

// At most this much is unpacked in all.
inline constexpr std::uint64_t kMaxUnpackedUpdateSize = 2ULL * 1024 * 1024 * 1024;

struct UnpackResult {
    bool ok = false;
    std::string error; // why the archive was refused, when it was
    std::uint64_t bytes = 0;
    std::uint64_t entries = 0;
};

// Unpacks the archive open at `archiveFd` (read from its start) into `folder`, an existing empty folder
// that becomes the root of the unpacked tree. Refused, leaving the folder's content to the caller to
// remove: absolute paths, ".." components, links whose target leaves the folder, hard links to
// anything but a file unpacked before, devices, FIFOs and sockets, set-user-id and set-group-id
// bits, the same name twice, more than kMaxUnpackedUpdateSize bytes, anything libarchive cannot read.
UnpackResult unpackUpdateArchive(int archiveFd, const std::string& folder);

} // namespace bw
