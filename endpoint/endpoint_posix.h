// What the POSIX endpoint files share: the raw read, and serial ports.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

#include "endpoint.h"

// Save the failure of the operation under way, for last_failure.
void note_failure(failure_cause cause, int code);
void note_rate_refused(std::int32_t asked, std::int32_t actual);

// Notes a lock refused on fd: cause_same_file when this run already holds
// the same file or device as its other end, else cause_in_use.
void note_lock_refused(int fd);

// read, retried on EINTR only. Returns the count read, 0 at the end of the
// input, or -1 on failure.
std::int32_t read_retrying(int fd, void *buffer, std::int32_t count);

// Writes the device path of a COM name: COMn, n a decimal number from 1 with
// no leading zero, is /dev/ttyS(n-1). Returns false, writing nothing useful,
// when the name names no port.
bool com_device_path(const char *name, char *path, std::size_t size);

// The Bxxx constant of a standard rate, or B0 when the rate has none.
speed_t standard_speed(std::int32_t baud_rate);

// True when a port running at actual serves a line at asked: within 2%,
// what the two ends of a cable can tolerate between them.
bool rate_close_enough(std::int32_t asked, std::int32_t actual);

// Turns *t into the line settings of a port at baud_rate, the speed aside:
// raw bytes both ways, 7 data bits at exactly 115200 and 8 otherwise, no
// parity, one stop bit, RTS/CTS handshake, no XON/XOFF, and reads that wait
// for the first byte without limit.
void make_port_settings(termios *t, std::int32_t baud_rate);

// Configures fd, an open terminal, as a port at baud_rate and takes it for
// this run alone. A source port's reads block (its time-outs are the
// port's own); a destination's writes do not, so that a line that takes no
// data can be told. Returns false, with the failure noted and fd left open
// (perhaps marked exclusive), when the port refused.
bool port_setup(int fd, std::int32_t baud_rate, endpoint_role role);

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

// Waits until all output has been sent, then 100 ms more; gives the port up.
void port_drain(int fd);
