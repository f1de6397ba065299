// What the system offers beyond termios: rates outside the Bxxx table, and
// telling a pseudo-terminal. Kept apart from <termios.h>, whose definitions
// clash with the kernel's termios2 interface.
#pragma once

#include <cstdint>

// Sets both speeds of the terminal fd to rate, keeping its other settings.
// Returns false when the system has no such interface or refused it.
bool set_custom_rate(int fd, std::int32_t rate);

// Returns the rate the terminal fd sends at, or 0 when the system cannot
// tell it this way.
std::int32_t current_custom_rate(int fd);

// True when fd is a pseudo-terminal, which has no line and keeps 8 data
// bits whatever it is asked for.
bool is_pseudo_terminal(int fd);
