// What a port needs of its system beyond POSIX: rates outside the Bxxx
// table, telling a pseudo-terminal, the UART behind a port, whether a lock
// or a terminal's exclusive use is held, which filesystem holds a folder,
// and the ports present. Linux answers in endpoint/linux/; any
// other system (and a Linux build made with VESKLO_GENERIC_POSIX) takes
// the answers of system_generic.cpp, which ask POSIX alone. Kept apart from
// <termios.h>, whose definitions clash with the kernel's termios2 interface.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "endpoint.h"
#include "uart.h"

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

// Returns the UART of the terminal fd as far as the system tells it, with
// kind uart_unknown when it does not (a pseudo-terminal, another driver).
uart_rules uart_rules_of(int fd);

// True when a process holds an flock on the file st, or when the system
// cannot tell; false only when it tells that none does.
bool flock_held(const struct stat &st);

// True when the terminal fd is in exclusive use (TIOCEXCL); false where it
// is not, or where the system cannot tell.
bool terminal_exclusive(int fd);

// True when the directory dir lies on the device filesystem (devtmpfs),
// where only the kernel makes device nodes, however it is reached (a bind
// mount, another mount of it); false where it does not, or where the
// system cannot tell.
bool on_device_filesystem(int dir);

// list_ports over a system whose sysfs is mounted at sys and whose device
// nodes are under dev ("/sys" and "/dev" on a running system).
int list_ports_under(const char *sys, const char *dev, port_listing *ports, int max);
