// Endpoints: disk files and serial ports behind one set of operations; an
// open answers which kind it found and what the later calls need of it.
//
// The POSIX and Windows implementations live in endpoint_posix.cpp and
// endpoint_win32.cpp; the build picks one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "uart.h"

// The platform's file handle (a file descriptor on POSIX, a HANDLE on
// Windows), widened to an integer.
typedef std::intptr_t endpoint_handle;

// What an open that failed returns: -1, INVALID_HANDLE_VALUE on Windows.
constexpr endpoint_handle invalid_handle = -1;

// Which end of the transfer an endpoint is; a disk source is opened for
// reading only, a disk destination is created or emptied.
enum endpoint_role { role_source, role_destination };

// What a port kept of its own settings where those asked of it did not
// take, though the port accepted them: some drivers keep 8 data bits when
// 7 are asked, or drop the RTS/CTS handshake. Read back after the open.
struct kept_settings {
    int data_bits;        // the data bits the port kept, 0 when it took those asked
    int asked_data_bits;  // and those asked
    bool no_handshake;    // the port runs without RTS/CTS
};

// An open end of the run: the handle, and what its open learnt that the
// later calls on it need. The caller owns it from file_open to file_close.
struct endpoint {
    endpoint_handle handle = invalid_handle;  // invalid_handle when the open failed
    const char *name = "";      // the name it was opened by; a port's notices show it
    bool port = false;          // a serial port: its reads and writes follow the line
    kept_settings kept = {0, 0, false};  // what a port kept of the settings asked; all zero
                                         // for a disk file, and where no line can tell
    // What the close of a port waits for after its drain: the chip behind
    // it as far as it is known, the rate it runs at, and whether it has a
    // line at all (a pseudo-terminal has none: once drained, every byte has
    // reached the far side).
    uart_rules uart = {uart_unknown, 0};
    std::int32_t rate = 0;
    bool no_line = false;
    bool data_arrived = false;  // a port's input has begun: from now on silence ends it
    std::int64_t sent = 0;      // the bytes written to it so far
};

// Opens name as the given end; other is the end already open (the source,
// when the destination is opened), or null, so that a file or port named as
// both ends is refused. A name beginning with "COM" is a serial port,
// driven at baud_rate; so is a path that opens as a terminal device (on
// Windows, a name that opens a communications device, and a COM name typed
// alone in any case). Any other name is a disk file, held exclusively while
// it is open. Returns the end, or one whose handle is invalid_handle with
// nothing left open or changed and the failure saved for last_failure.
endpoint file_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                   const endpoint *other);

// Reads up to count bytes. Returns the number read, 0 at the end of the
// input (for a port: 2 seconds of silence after data has arrived), or -1
// when the read failed.
std::int32_t file_read(endpoint *end, void *buffer, std::int32_t count);

// Writes all count bytes, in as many calls as the platform needs. Returns
// count, or -1 when a write failed or wrote nothing; how much of the chunk
// reached the endpoint is then unknown.
std::int32_t file_write(endpoint *end, const void *buffer, std::int32_t count);

// Returns the low 32 bits of the endpoint's size, or -1 when the platform
// cannot tell.
std::int32_t file_size(const endpoint *end);

// Milliseconds of the system's monotonic clock, in 64 bits, so that no
// deadline or pace meets a wrap however long the system has been up.
std::int64_t monotonic_ms();

// Closes the end; a serial port is first drained and then given the pause
// its chip needs for the last bytes written to leave it (uart_close_pause_ms),
// a hang-up meanwhile failing the close, except where the port has no line. Returns false when the platform reported a failure on
// closing (written data may then be lost); the handle is closed in either
// case.
bool file_close(const endpoint *end);

// What is known of why an endpoint operation failed, beyond the system's
// error code.
enum failure_cause {
    cause_system,        // the system's error code tells it all
    cause_no_such_port,  // a COM name that names no port, or no device behind it
    cause_in_use,        // another program holds the file or the port
    cause_left_exclusive,  // a port refused to all but root with no lock on it: another
                           // program's, or left exclusive by a run that lost its line
    cause_same_file,     // this run holds it already, as its other end
    cause_directory,     // a directory, not a file
    cause_rate_refused,  // the port refused the baud rate
    cause_settings_refused,  // the port refused the rate and data bits together
    cause_hung_up,       // the port hung up or went away
    cause_no_progress,   // a write took no byte
};

// The last failure of file_open, file_read, file_write or file_close, saved
// where it happened, before a close or a printf could change the system's
// error code.
struct endpoint_failure {
    failure_cause cause;
    int code;                  // errno, or GetLastError() on Windows; 0 when none
    std::int32_t rate_asked;   // with cause_rate_refused or cause_settings_refused:
                               // the rate asked for
    std::int32_t rate_actual;  // and the rate the port runs at, 0 when unknown
    std::int32_t bits_asked;   // with cause_settings_refused: the data bits asked for
    std::int32_t bits_kept;    // and those the port kept, 0 when unknown
    // A device refused for want of access: which access it lacked, and the
    // group whose members have it (empty when joining none would help).
    bool lacks_read, lacks_write;
    char granting_group[64];
};

endpoint_failure last_failure();

// Writes into text, NUL-terminated and cut to size, the system's reason for
// the failure f of the endpoint called name, followed where it helps by a
// hint: which access a device lacks and how users usually get it, a port
// held by another program, the device a COM name maps to, the rate refused.
// Made from f and name alone: nothing is looked at again.
void describe_failure(const endpoint_failure &f, const char *name, char *text, std::size_t size);

// Returns name as the console shows it: name itself on POSIX; on Windows,
// where names are held as UTF-8, converted to the ANSI code page, a
// look-alike standing in for a character it lacks. The text lives in a
// static buffer that the next call overwrites.
const char *shown_name(const char *name);

// Writes "vesklo: NAME: TEXT" and a line end on standard error, in one
// write where it fits, NAME as shown_name shows it; control characters in
// NAME and TEXT are escaped (\x0a), so that a name cannot split or forge a
// line. Standard output is flushed first, so that the two keep their order
// on a shared terminal.
void print_reason_line(const char *name, const char *text);

// One serial port present on the system, as a line of text: the name to
// give the tool, then what the system knows of it.
struct port_listing {
    char text[512];
};

// The most ports a listing holds: more than any system has.
constexpr int most_ports_listed = 256;

// Fills up to max entries with the serial ports present, in the order of
// their names, without opening any (an open raises DTR and RTS, which
// resets many boards). Returns how many were filled.
int list_ports(port_listing *ports, int max);
