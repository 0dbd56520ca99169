#include "store/compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace {

bw::Bytes bytesOf(const std::string& s) {
    return bw::Bytes(s.begin(), s.end());
}

TEST(Compression, EmptyInputs) {
    EXPECT_FALSE(bw::compressedData({}).has_value());
    auto inflated = bw::decompressedData({});
    ASSERT_TRUE(inflated.has_value());
    EXPECT_TRUE(inflated->empty());
}

TEST(Compression, RoundTripIsAPlainZlibStream) {
    for (std::size_t size : {1u, 2u, 3u, 100u, 4096u, 100000u}) {
        bw::Bytes input(size);
        std::mt19937 random(static_cast<unsigned>(size));
        for (auto& b : input)
            b = static_cast<std::uint8_t>(random() % 7); // compressible but not trivially
        auto compressed = bw::compressedData(input);
        ASSERT_TRUE(compressed.has_value()) << size;
        // Header of a zlib stream at the default level, and zlib's own inflater agrees.
        EXPECT_EQ((*compressed)[0], 0x78);
        bw::Bytes check(size);
        uLongf checkLength = size;
        ASSERT_EQ(uncompress(check.data(), &checkLength, compressed->data(), compressed->size()), Z_OK);
        EXPECT_EQ(checkLength, size);
        auto inflated = bw::decompressedData(*compressed);
        ASSERT_TRUE(inflated.has_value()) << size;
        EXPECT_EQ(*inflated, input);
    }
}

TEST(Compression, IncompressibleInputFitsTheOutputBuffer) {
    bw::Bytes input(70000);
    std::mt19937 random(7);
    for (auto& b : input)
        b = static_cast<std::uint8_t>(random());
    auto compressed = bw::compressedData(input);
    ASSERT_TRUE(compressed.has_value());
    EXPECT_EQ(bw::decompressedData(*compressed), input);
}

TEST(Compression, HighlyCompressedStreamInflatesWhole) {
    // Output about 1000 times the input: the buffer must keep growing by half the input at a time.
    bw::Bytes input(1'000'000, 'x');
    auto compressed = bw::compressedData(input);
    ASSERT_TRUE(compressed.has_value());
    EXPECT_LT(compressed->size() * 500, input.size());
    auto inflated = bw::decompressedData(*compressed);
    ASSERT_TRUE(inflated.has_value());
    EXPECT_EQ(*inflated, input);
}

TEST(Compression, TrailingBytesAreIgnored) {
    const bw::Bytes input = bytesOf("hello, cache index");
    auto compressed = bw::compressedData(input);
    ASSERT_TRUE(compressed.has_value());
    compressed->insert(compressed->end(), {'j', 'u', 'n', 'k', 0, 1, 2});
    EXPECT_EQ(bw::decompressedData(*compressed), input);
}

TEST(Compression, BrokenStreamsGiveNothing) {
    const bw::Bytes input = bytesOf(std::string(5000, 'a') + "tail of the stream");
    auto compressed = bw::compressedData(input);
    ASSERT_TRUE(compressed.has_value());
    // Truncated anywhere, including down to one byte (whose growth step is zero bytes).
    for (std::size_t length = 1; length < compressed->size(); ++length) {
        bw::Bytes cut(compressed->begin(), compressed->begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(bw::decompressedData(cut).has_value()) << length;
    }
    // Not zlib at all: raw deflate, gzip, text.
    EXPECT_FALSE(bw::decompressedData(bytesOf("just some text")).has_value());
    EXPECT_FALSE(bw::decompressedData(bytesOf("x")).has_value());
    bw::Bytes corrupted = *compressed;
    corrupted[corrupted.size() - 1] ^= 0xFF; // Adler-32 mismatch
    EXPECT_FALSE(bw::decompressedData(corrupted).has_value());
}

TEST(Compression, BombPastTheCapGivesNothing) {
    // 300 MiB of zeros compresses to about 300 KiB; the inflater must stop at the cap.
    z_stream stream{};
    ASSERT_EQ(deflateInit(&stream, Z_BEST_COMPRESSION), Z_OK);
    const std::size_t total = bw::kMaxInflatedSize + 44u * 1024u * 1024u;
    bw::Bytes zeros(1u << 20, 0);
    bw::Bytes out(1u << 20);
    bw::Bytes bomb;
    std::size_t fed = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        const bool last = fed >= total;
        if (!last && stream.avail_in == 0) {
            stream.next_in = zeros.data();
            stream.avail_in = static_cast<uInt>(zeros.size());
            fed += zeros.size();
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        result = deflate(&stream, last && stream.avail_in == 0 ? Z_FINISH : Z_NO_FLUSH);
        ASSERT_NE(result, Z_STREAM_ERROR);
        bomb.insert(bomb.end(), out.data(), out.data() + (out.size() - stream.avail_out));
    }
    deflateEnd(&stream);
    EXPECT_FALSE(bw::decompressedData(bomb).has_value());
}

} // namespace
