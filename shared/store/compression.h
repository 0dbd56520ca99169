#pragma once
// zlib compression of batch indexes and the added list (plain zlib stream, no framing of our own).

#include "files/bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace bw {

// The zlib stream of the buffer at zlib's default level, or its fastest one (`fast`: for files rewritten
// while the user waits, such as the index of a batch being filled); nothing for an empty buffer or on
// any zlib error. Any zlib reader reads every level.
std::optional<Bytes> compressedData(std::span<const std::uint8_t> input, bool fast = false);

// The inflated bytes; the (empty) buffer itself when it is empty; nothing on any error or past maxSize.
std::optional<Bytes> decompressedData(std::span<const std::uint8_t> input, std::size_t maxSize = kMaxInflatedSize);

} // namespace bw
