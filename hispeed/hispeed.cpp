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

bool is_code_byte(std::uint8_t code)
{
    return ((code ^ (code >> 1)) & 0x2A) == 0;
}

void encode_bytes_scalar(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code)
{
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint8_t b = raw[i];
        code[2 * i] = encode_nibble(b);
        code[2 * i + 1] = encode_nibble(static_cast<std::uint8_t>(b >> 4));
    }
}

std::int32_t decode_bytes_scalar(const std::uint8_t *code, std::int32_t pairs, std::uint8_t *raw)
{
    std::int32_t damaged = 0;
    for (std::int32_t j = 0; j < pairs; ++j) {
        const std::uint8_t lo = code[2 * j], hi = code[2 * j + 1];
        damaged += !is_code_byte(lo) + !is_code_byte(hi);
        raw[j] = static_cast<std::uint8_t>(decode_nibble(lo) | (decode_nibble(hi) << 4));
    }
    return damaged;
}
