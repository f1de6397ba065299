// The line settings of a port over termios: raw bytes, the data bits and
// handshake of the line, and a rate the port really makes.
#pragma once

#include <termios.h>

#include <cstdint>

#include "endpoint.h"
#include "uart.h"

// The Bxxx constant of a standard rate, or B0 when the rate has none.
speed_t standard_speed(std::int32_t baud_rate);

// Turns *t into the line settings of a port at baud_rate, the speed aside:
// raw bytes both ways, 7 data bits at exactly 115200 and 8 otherwise, no
// parity, one stop bit, RTS/CTS handshake, no XON/XOFF, and reads that wait
// for the first byte without limit.
void make_port_settings(termios *t, std::int32_t baud_rate);

// True when baud_rate can be asked of a port at all (it is positive);
// else false, with the refusal and the rate fd runs at noted.
bool usable_rate(int fd, std::int32_t baud_rate);

// Puts fd, an open terminal, into the line settings at baud_rate, raises
// DTR, and leaves a source's reads blocking and a destination's writes
// non-blocking (so that a line that takes no data can be told). A port that
// runs at the rate but kept other data bits, or no handshake, is not
// refused: port->kept says what it kept; port->uart, port->rate and
// port->no_line what its close waits for after the drain. Returns false with the failure noted
// when the port refused, its settings as they were: a rate that its UART's
// known rules refuse is refused before anything changes, and settings that
// only their read-back refuses are put back as they were read.
bool configure_line(int fd, std::int32_t baud_rate, endpoint_role role, endpoint *port);
