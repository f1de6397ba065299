#include "hispeed.h"

namespace {

// Code bits 7..0 carry: 1, n3, n3, n2, n2, n1, n1, n0. Bits 1 to 3 of the
// nibble are sent twice; bit 7 is always set so the byte survives a 7-bit
// line. A table is faster than building the byte bit by bit.
constexpr std::uint8_t codes[16] = {0x80, 0x81, 0x86, 0x87, 0x98, 0x99, 0x9E, 0x9F,
                                    0xE0, 0xE1, 0xE6, 0xE7, 0xF8, 0xF9, 0xFE, 0xFF};

// The nibble of every code byte: the lower bit of each pair (code bits 0, 1,
// 3 and 5); bit 7 and the upper bits of the pairs are not looked at.
constexpr std::uint8_t nibble_of(int code)
{
    return static_cast<std::uint8_t>((code & 0x03) | ((code >> 1) & 0x04) | ((code >> 2) & 0x08));
}

struct nibble_table {
    std::uint8_t of[256];
};

constexpr nibble_table make_nibble_table()
{
    nibble_table t{};
    for (int code = 0; code < 256; ++code) t.of[code] = nibble_of(code);
    return t;
}

constexpr nibble_table nibbles = make_nibble_table();

}  // namespace

std::uint8_t encode_nibble(std::uint8_t value)
{
    return codes[value & 0x0F];
}

std::uint8_t decode_nibble(std::uint8_t code)
{
    return nibbles.of[code];
}
