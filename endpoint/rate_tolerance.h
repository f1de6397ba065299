// How far a port's rate may be from the rate asked, on every platform.
#pragma once

#include <cstdint>

// True when a port running at actual serves a line at asked: within 2%,
// what the two ends of a cable can tolerate between them.
constexpr bool rate_close_enough(std::int64_t asked, std::int64_t actual)
{
    const std::int64_t off = actual - asked;
    return (off < 0 ? -off : off) * 50 <= asked;
}
