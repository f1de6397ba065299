// Serial ports over kernel32: opening and taking a port for the run,
// reading, writing, and the drain and release at close, the same
// operations as the POSIX side (serial_posix.h). Ports are opened
// exclusively (share mode 0) and without overlap.
#pragma once

#include <windows.h>

#include <cstdint>

#include "endpoint.h"

// The longest path the wide functions take, with its NUL.
constexpr int path_max = 32768;

// Converts the UTF-8 name into path (path_max characters). Returns false,
// with the failure noted, when it is no UTF-8 or too long for any path.
bool to_wide(const char *name, wchar_t *path);

// Opens path for reading and writing, exclusively, as a port is opened.
// Returns the handle, or INVALID_HANDLE_VALUE with GetLastError() set.
HANDLE open_device(const wchar_t *path);

// True when h, an open device, has line settings: a communications device.
bool has_line_settings(HANDLE h);

// True when the DOS device name that path ends in (COM1, AUX, com10:,
// \\.\COM1) leads to the device of the port other. A port is held
// exclusively, so Windows would refuse the second open as if another
// program held it; Wine would grant it, and the run would wait on itself.
bool port_held_already(const wchar_t *path, const endpoint *other);

// Opens the port COMn, spelled name in any case, through \\.\COMn, which
// also reaches ports above COM9; the colon of the spelling COM1: is
// dropped. Returns the port, or an end whose handle is invalid_handle with
// the failure noted.
endpoint com_open(const char *name, std::int32_t baud_rate, endpoint_role role,
                  const endpoint *other);

// Configures handle, an open communications device called name, and takes
// it as a port of this run (Ctrl-C then purges it). Returns the port, or an
// end whose handle is invalid_handle, with handle closed and the failure
// noted.
endpoint port_take(endpoint_handle handle, const char *name, std::int32_t baud_rate,
                   endpoint_role role, const endpoint *other);

// Reads from a port: the first read waits without limit, later ones return
// 0 after 2 s of silence. Returns the count read, 0 at the end, or -1 with
// the failure noted: a hang-up when the port went away.
std::int32_t port_read(endpoint *port, void *buffer, std::int32_t count);

// Writes all count bytes, waiting as long as the line needs; when the port
// has taken nothing for 5 s (CTS off) says so once on standard error, and
// waits on. Returns count, or -1 with the failure noted.
std::int32_t port_write(endpoint *port, const void *buffer, std::int32_t count);

// Waits until all output has been sent, then as long as the chip needs for
// what it may still hold (uart_close_pause_ms), and closes the port. Returns false, with the failure noted, when the port
// could not tell or went away meanwhile, or the close failed; closed either
// way.
bool port_close(const endpoint *port);
