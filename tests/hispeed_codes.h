// The sixteen Hispeed code bytes by nibble, written down once for the tests
// as the code is published, independently of the tool's own table.
#pragma once

#include <cstdint>

inline constexpr std::uint8_t hispeed_codes[16] = {0x80, 0x81, 0x86, 0x87, 0x98, 0x99,
                                                   0x9E, 0x9F, 0xE0, 0xE1, 0xE6, 0xE7,
                                                   0xF8, 0xF9, 0xFE, 0xFF};
