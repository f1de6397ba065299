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

// A terminal's line settings as the system holds them, a rate outside the
// Bxxx table included, kept so that they can be put back.
struct saved_line {
    alignas(8) unsigned char state[128];
};

// Reads the settings of the terminal fd into *line. Returns false when they
// cannot be read.
bool save_line(int fd, saved_line *line);

// Puts the settings in line back on the terminal fd. Returns false when the
// system refused them.
bool restore_line(int fd, const saved_line &line);

// True when fd is a pseudo-terminal, which has no line and keeps 8 data
// bits whatever it is asked for.
bool is_pseudo_terminal(int fd);
