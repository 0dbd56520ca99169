#pragma once
// The one byte-buffer type of the core: file contents, archives, compressed streams.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bw {

using Bytes = std::vector<std::uint8_t>;

// No buffer read or inflated from a file grows past this: a hostile or corrupt file must not exhaust
// memory in a root process.
inline constexpr std::size_t kMaxInflatedSize = 256u * 1024u * 1024u;

} // namespace bw
