// The operations on a serial port, the same on every platform: each
// platform's serial file (posix/serial_posix.cpp, win32/serial_win32.cpp)
// implements them over its own calls.
#pragma once

#include <cstdint>

#include "endpoint.h"

// Opens the port that the COM name stands for and takes it as port_take
// does. Returns the port, or an end whose handle is invalid_handle with the
// failure noted.
endpoint com_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                  const endpoint *other);

// Takes handle, a communications device called name opened for reading and
// writing, as a port of this run: held exclusively, in the line settings at
// baud_rate, and where the ending signals (Ctrl-C on Windows) find it to
// give it up. Returns the port, or an end whose handle is invalid_handle,
// with handle closed (its exclusive use cleared) and the failure noted.
endpoint port_take(endpoint_handle handle, const char *name, std::int32_t baud_rate,
                   endpoint_role role, const endpoint *other);

// Reads from a port: the first read waits without limit, later ones return
// 0 after quiet_end_ms of silence; what arrives is gathered until the line
// pauses. Returns the count read, 0 at the end, or -1 with the failure
// noted: a hang-up when the port went away.
std::int32_t port_read(endpoint *port, void *buffer, std::int32_t count);

// Writes all count bytes, waiting as long as the line needs, and counts
// them in port->sent. When the port has taken nothing for stall_notice_ms
// beyond what its chip's buffer takes at the line rate (CTS off: the
// receiver not ready, or a cable without handshake lines) says so once on
// standard error, and waits on. Returns count, or -1 with the failure
// noted.
std::int32_t port_write(endpoint *port, const void *buffer, std::int32_t count);

// Waits until all output has been sent, then as long as the chip needs for
// what it may still hold (uart_close_pause_ms), and gives the port up; a
// port with no line (a pseudo-terminal) has no pause, and a hang-up once
// its output is drained is no failure. Returns false, with the failure
// noted and unsent output discarded, when the port failed or was found
// gone, in the drain or the pause; the port is closed in either case.
bool port_close(const endpoint *port);
