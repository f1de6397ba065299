#include <gtest/gtest.h>

#include "../hispeed/hispeed.h"

TEST(Hispeed, CodeTableAndRoundTrip)
{
    const std::uint8_t codes[16] = {0x80, 0x81, 0x86, 0x87, 0x98, 0x99, 0x9E, 0x9F,
                                    0xE0, 0xE1, 0xE6, 0xE7, 0xF8, 0xF9, 0xFE, 0xFF};
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
