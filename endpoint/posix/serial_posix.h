// Serial ports over POSIX calls: the names of ports, taking a port for the
// run, reading, writing, and the drain and release at close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "endpoint.h"

// Writes the device path of a COM name: COMn, n a decimal number from 1 with
// no leading zero, is /dev/ttyS(n-1). Returns false, writing nothing useful,
// when the name names no port.
bool com_device_path(const char *name, char *path, std::size_t size);

// Takes fd, an open terminal called name that this run has locked, as a
// port of this run: exclusive use (TIOCEXCL refuses further opens of the
// device to anyone but root) and the line settings at baud_rate. Returns
// true; or false with the failure noted and fd closed, its exclusive use
// cleared.
bool port_take(int fd, std::int32_t baud_rate, const char *name, endpoint_role role);

// Reads from a port: the first read waits without limit, later ones return 0
// after 2 s of silence; what arrives is gathered until the line pauses.
// Returns the count read, 0 at the end, or -1 on failure: EIO when the
// device has gone or the line was hung up, before or after the first byte.
std::int32_t port_read(int fd, void *buffer, std::int32_t count);

// Writes all count bytes to the port fd, called name, waiting as long as
// the line needs. When the port has taken nothing for 5 s (CTS off: the
// receiver not ready, or a cable without handshake lines) says so once on
// standard error, and waits on. Returns count, or -1 with the failure
// noted.
std::int32_t port_write(int fd, const void *buffer, std::int32_t count, const char *name);

// Waits until all output of the port fd, called name, has been sent, then
// 100 ms more watching it for a hang-up, and gives the port up. When the
// queue has not shrunk for 5 s, says so once on standard error, and waits
// on. Returns false, with the failure noted and unsent output discarded,
// when the port failed or was found hung up, in the drain or the pause;
// the port is closed in either case.
bool port_close(int fd, const char *name);
