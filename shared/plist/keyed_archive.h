#pragma once
// Keyed archives in the NSKeyedArchiver layout (a binary property list with "$archiver", "$version",
// "$top" and a flat "$objects" table referenced by UIDs), for the batch index and the added list: a
// tree of ArchiveValue in, a tree out.

#include "files/bytes.h"
#include "plist/archive_value.h"
#include "plist/plist_value.h"

#include <cstdint>
#include <optional>
#include <span>

namespace bw {

// The largest archive (inflated) that the index and added-list writers produce and that their readers
// accept. A batch whose index would pass it continues in a new batch folder; an added list is trimmed
// of its oldest keys. 32 MiB hold about 250,000 index entries of short names; readers never spend more
// than a few times this on one archive, whoever wrote it (see keyed_archive_reader.h).
inline constexpr std::size_t kMaxArchiveSize = 32u * 1024u * 1024u;

// The binary property list of the keyed archive whose root object is `root`; nothing on failure
// (a root that is null, or a dictionary key or class name that cannot be written).
std::optional<Bytes> archivedDataWithRootObject(const ArchiveValue& root);

// The root object of a keyed archive (binary property list); nothing when the bytes are not a
// well-formed archive: wrong top-level keys, UIDs out of range, reference cycles, unknown kinds of
// objects, containers too deeply nested, or more work or output than the archive's size allows.
std::optional<ArchiveValue> unarchiveRootObject(std::span<const std::uint8_t> archive);

} // namespace bw
