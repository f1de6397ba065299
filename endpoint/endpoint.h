// Endpoints: disk files and serial ports behind one set of operations, so
// that the front end and the transfers never ask which kind they hold.
//
// The POSIX and Windows implementations live in endpoint_posix.cpp and
// endpoint_win32.cpp; the build picks one.
#pragma once

#include <cstdint>

// The platform's file handle (a file descriptor on POSIX, a HANDLE on
// Windows), widened to an integer. The kind of endpoint is not stored.
typedef std::intptr_t endpoint_handle;

// What an open that failed returns: -1, INVALID_HANDLE_VALUE on Windows.
constexpr endpoint_handle invalid_handle = -1;

// Which end of the transfer an endpoint is; a disk source is opened for
// reading only, a disk destination is created or emptied.
enum endpoint_role { role_source, role_destination };

// The characters that begin an option on this platform ("-" on POSIX, where
// "/" begins an absolute path; "-" and "/" on Windows).
extern const char option_prefixes[];

// Shows progress dots as they are printed when standard output is a
// terminal; leaves a file or a pipe fully buffered.
void console_prepare();

// Opens name as the given end. A name beginning with "COM" is a serial port,
// driven at baud_rate; so is a path that opens as a terminal device. Any
// other name is a disk file, held exclusively while it is open. Returns the
// handle, or invalid_handle with nothing left open or changed.
endpoint_handle file_open(const char *name, std::int32_t baud_rate, endpoint_role role);

// Reads up to count bytes. Returns the number read, 0 at the end of the
// input (for a port: 2 seconds of silence after data has arrived), or -1
// when the read failed.
std::int32_t file_read(endpoint_handle handle, void *buffer, std::int32_t count);

// Writes all count bytes, in as many calls as the platform needs. Returns
// count, or -1 when a write failed or wrote nothing; how much of the chunk
// reached the endpoint is then unknown.
std::int32_t file_write(endpoint_handle handle, const void *buffer, std::int32_t count);

// Returns the low 32 bits of the endpoint's size, or -1 when the platform
// cannot tell.
std::int32_t file_size(endpoint_handle handle);

// Closes the handle; a serial port is first drained and then given 100 ms.
// Returns false when the platform reported a failure on closing (written
// data may then be lost); the handle is closed in either case.
bool file_close(endpoint_handle handle);
