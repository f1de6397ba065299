#include "hispeed.h"

// Code bits 7..0 carry: 1, n3, n3, n2, n2, n1, n1, n0. Bits 1 to 3 of the
// nibble are sent twice so that the code byte is dense in set bits.
std::uint8_t encode_nibble(std::uint8_t value)
{
    std::uint8_t code = 0x80;
    if (value & 0x01) code |= 0x01;
    if (value & 0x02) code |= 0x06;
    if (value & 0x04) code |= 0x18;
    if (value & 0x08) code |= 0x60;
    return code;
}

// Reads the lower bit of each pair (code bits 0, 1, 3 and 5).
std::uint8_t decode_nibble(std::uint8_t code)
{
    return static_cast<std::uint8_t>((code & 0x01) | (code & 0x02) | ((code >> 1) & 0x04) |
                                     ((code >> 2) & 0x08));
}
