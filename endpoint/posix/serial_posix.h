// Serial ports over POSIX calls: the names of ports, taking a port for the
// run, reading, writing, and the drain and release at close. The Windows
// side (serial_win32.h) offers the same operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "endpoint.h"

// Writes the device path of a COM name: COMn, n a decimal number from 1 with
// no leading zero, is /dev/ttyS(n-1). Returns false, writing nothing useful,
// when the name names no port.
bool com_device_path(const char *name, char *path, std::size_t size);

// Opens the port that the COM name stands for (com_device_path) and takes
// it as port_take does. Returns the port, or an end whose handle is
// invalid_handle with the failure noted.
endpoint com_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                  const endpoint *other);

// Takes handle, a terminal called name opened for reading and writing, as
// a port of this run: locked, in exclusive use (TIOCEXCL refuses further
// opens of the device to anyone but root), in the line settings at
// baud_rate. Returns the port, or an end whose handle is invalid_handle,
// with handle closed (its exclusive use cleared) and the failure noted.
endpoint port_take(endpoint_handle handle, const char *name, std::int32_t baud_rate,
                   endpoint_role role, const endpoint *other);

// Reads from a port: the first read waits without limit, later ones return 0
// after 2 s of silence; what arrives is gathered until the line pauses.
// Returns the count read, 0 at the end, or -1 with the failure noted: a
// hang-up when the device has gone or the line was hung up.
std::int32_t port_read(endpoint *port, void *buffer, std::int32_t count);

// Writes all count bytes, waiting as long as the line needs, and counts
// them in port->sent. When the port has taken nothing for 5 s beyond what
// its chip's buffer takes at the line rate (CTS off: the receiver not
// ready, or a cable without handshake lines) says so once on standard
// error, and waits on. Returns count, or -1 with the failure noted.
std::int32_t port_write(endpoint *port, const void *buffer, std::int32_t count);

// Waits until all output has been sent, then as long as the chip needs for
// what it may still hold (uart_close_pause_ms) watching the port for a
// hang-up, and gives the port up; a port with no line (a pseudo-terminal)
// has no pause, and a hang-up once its output is drained is no failure.
// When the queue has not shrunk for 5 s beyond the chip's buffer time,
// says so once on standard error, and waits on. Returns false, with the
// failure noted and unsent output discarded, when the port failed or was
// found hung up, in the drain or the pause; the port is closed in either
// case.
bool port_close(const endpoint *port);
