// Serial ports over kernel32: opening and taking a port for the run,
// reading, writing, and the drain and release at close, the same
// operations as the POSIX side (serial_posix.h). Ports are opened
// exclusively (share mode 0) and without overlap.
#pragma once

#include <windows.h>

#include <cstddef>
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

// True when name spells a COM port: COM and a number in any case, with at
// most a closing colon, typed alone or after \\.\ or \\?\. Typed alone, the
// blanks and dots that end it are left out, as Windows leaves them out of
// the last part of a name that it opens (com12. is COM12); COM1.txt spells
// none. Sets *spelling to where the port's name begins in name, and
// *length to its length.
bool spells_com_port(const char *name, const char **spelling, std::size_t *length);

// True when the run opens name as a COM port (com_open): one that begins
// with COM in capitals, as on every platform, or spells a port.
bool taken_for_com_port(const char *name);

// True when the open of name, which the run does not take for a COM port,
// would reach the device of a COM port: Windows reads COM1 to COM9 as the
// device in any folder (.\COM3), and some versions COM3.txt too.
bool leads_to_com_device(const char *name);

// True when name leads to the device of the port other. A port is held
// exclusively, so Windows would refuse the second open as if another
// program held it; Wine would grant it, and the run would wait on itself.
// A name is judged as it is opened: a port's name (com10, com10 ., \\.\COM10)
// by the port it spells, any other by the device that Windows reads in it
// (AUX, sub\COM1), if any; a name with a folder (.\com10) is a file.
bool port_held_already(const char *name, const endpoint *other);

// Opens the port that name spells (spells_com_port) through \\.\COMn, which
// also reaches ports above COM9; the colon of the spelling COM1: is
// dropped. A device there without line settings is no port either.
// Returns the port, or an end whose handle is invalid_handle with the
// failure noted.
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
std::int32_t port_write(const endpoint *port, const void *buffer, std::int32_t count);

// Waits until all output has been sent, then close_pause_ms more, and
// closes the port; when the output has not moved for 5 s, says so once on
// standard error, and waits on. Returns false, with the failure noted,
// when the port could not tell or went away meanwhile, or the close failed;
// closed either way.
bool port_close(const endpoint *port);
