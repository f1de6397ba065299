// The Hispeed nibble code: one code byte carries four data bits, with bit 7
// always set so that the byte survives a line of 7 data bits.
#pragma once

#include <cstdint>

// Returns the code byte of the low four bits of value; bits 4 to 7 are ignored.
std::uint8_t encode_nibble(std::uint8_t value);

// Returns the nibble (0 to 15) that code carries. Every byte decodes to some
// nibble: bit 7 and the second bit of each doubled pair are not looked at.
std::uint8_t decode_nibble(std::uint8_t code);

// True when code was sent as a code byte: each doubled pair of bits (1 and
// 2, 3 and 4, 5 and 6) agrees. Bit 7 is not judged; a 7-bit line clears it.
bool is_code_byte(std::uint8_t code);

// Whole chunks. encode_bytes writes the 2 * count code bytes of count raw
// bytes, low nibble first; decode_bytes writes the pairs bytes carried by
// 2 * pairs code bytes and returns how many of those code bytes were not
// code bytes (is_code_byte). Both may work in place as the transfers do:
// code at or more than count bytes before raw for encode (so the code of a
// byte never lands on a raw byte not yet read), raw at or before code for
// decode. The fastest loops that the CPU runs; the _scalar ones are the
// reference that they must equal byte for byte.
void encode_bytes(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code);
std::int32_t decode_bytes(const std::uint8_t *code, std::int32_t pairs, std::uint8_t *raw);
void encode_bytes_scalar(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code);
std::int32_t decode_bytes_scalar(const std::uint8_t *code, std::int32_t pairs, std::uint8_t *raw);

// The loops that every CPU of the build's kind runs, with no run-time check
// (SSE2 on x86-64, the reference elsewhere); encode_bytes and decode_bytes
// use them where the CPU has nothing faster.
void encode_bytes_baseline(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code);
std::int32_t decode_bytes_baseline(const std::uint8_t *code, std::int32_t pairs, std::uint8_t *raw);
