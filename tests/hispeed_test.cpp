#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hispeed.h"
#include "hispeed_codes.h"

TEST(Hispeed, CodeTableAndRoundTrip)
{
    const auto &codes = hispeed_codes;
    for (int n = 0; n < 16; ++n) {
        EXPECT_EQ(encode_nibble(static_cast<std::uint8_t>(n)), codes[n]) << n;
        EXPECT_EQ(decode_nibble(codes[n]), n) << n;
        // The high nibble of the argument is ignored.
        EXPECT_EQ(encode_nibble(static_cast<std::uint8_t>(0xA0 | n)), codes[n]) << n;
    }
}

TEST(Hispeed, DecodeIgnoresBit7AndUpperBitOfPairs)
{
    const struct {
        std::uint8_t code, nibble;
    } cases[] = {
        {0x7F, 0xF}, {0xFF, 0xF}, {0x00, 0x0}, {0x80, 0x0},  // bit 7 lost on a 7-bit line
        {0x2A, 0xE}, {0x55, 0x1},                            // pairs that disagree
        {0x07, 0x3}, {0x1E, 0x6},
    };
    for (const auto &c : cases) EXPECT_EQ(decode_nibble(c.code), c.nibble) << int(c.code);
}

TEST(Hispeed, EveryByteSurvivesAsTwoCodes)
{
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t lo = encode_nibble(static_cast<std::uint8_t>(b));
        const std::uint8_t hi = encode_nibble(static_cast<std::uint8_t>(b >> 4));
        EXPECT_TRUE(lo & 0x80);
        EXPECT_EQ(decode_nibble(lo) | (decode_nibble(hi) << 4), b);
        // Stripped to 7 bits, as a 7-bit line delivers it.
        EXPECT_EQ(decode_nibble(lo & 0x7F) | (decode_nibble(hi & 0x7F) << 4), b);
    }
}

TEST(Hispeed, CodeBytesAreTheSixteenCodesWithOrWithoutBit7)
{
    int code_bytes = 0;
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t c = static_cast<std::uint8_t>(b);
        const bool expected = encode_nibble(decode_nibble(c)) == (c | 0x80);
        EXPECT_EQ(is_code_byte(c), expected) << b;
        code_bytes += is_code_byte(c);
    }
    EXPECT_EQ(code_bytes, 32);
}

// The vector loops must give the reference loops' bytes and damage counts
// for every length (vector blocks, tails, both) and in place, laid out as
// the transfers lay out their buffer.
TEST(Hispeed, BulkLoopsEqualTheReference)
{
    for (std::int32_t count : {0, 1, 15, 16, 17, 31, 32, 33, 100, 511, 1008, 1023, 1024}) {
        std::uint8_t fast[2048], slow[2048];
        std::uint8_t base[2048];
        for (int i = 0; i < 2048; ++i)
            fast[i] = slow[i] = base[i] = static_cast<std::uint8_t>(i * 151 + i / 256);
        std::uint8_t raw[1024];
        std::memcpy(raw, fast + 1024, sizeof raw);
        encode_bytes(fast + 1024, count, fast);
        encode_bytes_baseline(base + 1024, count, base);
        encode_bytes_scalar(slow + 1024, count, slow);
        EXPECT_EQ(0, std::memcmp(fast, slow, 2 * static_cast<std::size_t>(count))) << count;
        EXPECT_EQ(0, std::memcmp(base, slow, 2 * static_cast<std::size_t>(count))) << count;
        for (int i = 0; i < 2 * count; ++i) ASSERT_EQ(fast[i], encode_nibble(raw[i / 2] >> (i % 2 * 4))) << count;

        // Decode arbitrary bytes: every value, damaged or not, in place.
        for (int i = 0; i < 2048; ++i) fast[i] = slow[i] = static_cast<std::uint8_t>(i * 97 + i / 7);
        for (int i = 0; i < 2048; ++i) base[i] = fast[i];
        const std::int32_t pairs = count;
        const std::int32_t damaged = decode_bytes(fast, pairs, fast);
        EXPECT_EQ(damaged, decode_bytes_scalar(slow, pairs, slow)) << count;
        EXPECT_EQ(damaged, decode_bytes_baseline(base, pairs, base)) << count;
        EXPECT_EQ(0, std::memcmp(fast, slow, static_cast<std::size_t>(pairs))) << count;
        EXPECT_EQ(0, std::memcmp(base, slow, static_cast<std::size_t>(pairs))) << count;
    }
    // Longer than the transfers ask for: the damage counters are emptied
    // on the way.
    std::vector<std::uint8_t> code_in(20000), fast_out(10000), slow_out(10000);
    for (std::size_t i = 0; i < code_in.size(); ++i) code_in[i] = static_cast<std::uint8_t>(i * 31 + i / 9);
    const std::int32_t damaged = decode_bytes_scalar(code_in.data(), 10000, slow_out.data());
    EXPECT_EQ(decode_bytes(code_in.data(), 10000, fast_out.data()), damaged);
    EXPECT_EQ(fast_out, slow_out);
    EXPECT_EQ(decode_bytes_baseline(code_in.data(), 10000, fast_out.data()), damaged);
    EXPECT_EQ(fast_out, slow_out);
    // Clean code has no damage, even with bit 7 lost.
    std::uint8_t code[64];
    const std::uint8_t raw[32] = {0, 1, 0x7F, 0x80, 0xFF, 0x11, 0x13, 0xA5};
    encode_bytes(raw, 32, code);
    for (std::uint8_t &c : code) c &= 0x7F;
    std::uint8_t back[32];
    EXPECT_EQ(decode_bytes(code, 32, back), 0);
    EXPECT_EQ(0, std::memcmp(back, raw, 32));
}
