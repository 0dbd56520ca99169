#include "store/compression.h"

#include "files/log_line.h"

#include <zlib.h>

#include <syslog.h>

#include <cstring>
#include <limits>

namespace bw {

namespace {

// Ends the inflate stream on every path out of decompressedData.
class InflateStream {
public:
    InflateStream() { std::memset(&m_stream, 0, sizeof m_stream); }
    ~InflateStream() {
        if (m_initialised)
            inflateEnd(&m_stream);
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    bool init() {
        m_initialised = inflateInit(&m_stream) == Z_OK;
        return m_initialised;
    }
    // inflateEnd's own verdict; the destructor then has nothing left to do.
    bool end() {
        m_initialised = false;
        return inflateEnd(&m_stream) == Z_OK;
    }
    z_stream* operator->() { return &m_stream; }
    z_stream* get() { return &m_stream; }

private:
    z_stream m_stream;
    bool m_initialised = false;
};

} // namespace

std::optional<Bytes> compressedData(std::span<const std::uint8_t> input, bool fast) {
    if (input.empty())
        return std::nullopt;
    if (input.size() > std::numeric_limits<uInt>::max()) {
        bw::logLine(LOG_ERR, "compressedData: input of %zu bytes is too large", input.size());
        return std::nullopt;
    }
    const auto n = static_cast<uLong>(input.size());
    uLongf outLength = static_cast<uLongf>(static_cast<double>(n) * 1.001 + 12.0);
    // The classic bound is a touch below zlib's own for tiny inputs; never hand compress a buffer it
    // cannot finish in, so that small inputs do not fail with Z_BUF_ERROR.
    outLength = std::max<uLongf>(outLength, compressBound(n));
    Bytes output(outLength);
    const int result =
        compress2(output.data(), &outLength, input.data(), n, fast ? Z_BEST_SPEED : Z_DEFAULT_COMPRESSION);
    if (result != Z_OK) {
        bw::logLine(LOG_ERR, "compressedData: zlib error %d", result);
        return std::nullopt;
    }
    output.resize(outLength);
    return output;
}

std::optional<Bytes> decompressedData(std::span<const std::uint8_t> input, std::size_t maxSize) {
    if (input.empty())
        return Bytes{};
    if (input.size() > std::numeric_limits<uInt>::max()) {
        bw::logLine(LOG_ERR, "decompressedData: input of %zu bytes is too large", input.size());
        return std::nullopt;
    }
    const std::size_t n = input.size();
    // A one-byte input would grow by nothing and spin forever; grow by at least one byte.
    const std::size_t half = std::max<std::size_t>(n / 2, 1);
    maxSize = std::min(maxSize, kMaxInflatedSize);
    Bytes output(std::min(n + n / 2, maxSize));

    InflateStream stream;
    stream->next_in = const_cast<Bytef*>(input.data());
    stream->avail_in = static_cast<uInt>(n);
    if (!stream.init()) {
        bw::logLine(LOG_ERR, "decompressedData: inflateInit failed");
        return std::nullopt;
    }
    std::size_t produced = 0;
    for (;;) {
        if (produced >= output.size()) {
            if (output.size() >= maxSize) {
                bw::logLine(LOG_ERR, "decompressedData: output exceeds %zu bytes, refused", maxSize);
                return std::nullopt;
            }
            output.resize(std::min(output.size() + half, maxSize));
        }
        const std::size_t room = std::min<std::size_t>(output.size() - produced, std::numeric_limits<uInt>::max());
        stream->next_out = output.data() + produced;
        stream->avail_out = static_cast<uInt>(room);
        const int result = inflate(stream.get(), Z_SYNC_FLUSH);
        produced += room - stream->avail_out;
        if (result == Z_STREAM_END)
            break;
        if (result != Z_OK) {
            // Z_BUF_ERROR with room left means the input ended before the stream did.
            bw::logLine(LOG_ERR, "decompressedData: zlib error %d", result);
            return std::nullopt;
        }
    }
    if (!stream.end()) {
        bw::logLine(LOG_ERR, "decompressedData: inflateEnd failed");
        return std::nullopt;
    }
    output.resize(produced);
    return output;
}

} // namespace bw
