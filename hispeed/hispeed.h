// The Hispeed nibble code: one code byte carries four data bits, with bit 7
// always set so that the byte survives a line of 7 data bits.
#pragma once

#include <cstdint>

// Returns the code byte of the low four bits of value; bits 4 to 7 are ignored.
std::uint8_t encode_nibble(std::uint8_t value);

// Returns the nibble (0 to 15) that code carries. Every byte decodes to some
// nibble: bit 7 and the second bit of each doubled pair are not looked at.
std::uint8_t decode_nibble(std::uint8_t code);
