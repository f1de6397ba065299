// Serial ports over kernel32: the operations of serial_port.h (a COM name
// is opened through \\.\COMn, which also reaches ports above COM9, its
// closing colon dropped; a device there without line settings is no port
// either), and what the Windows endpoint needs to tell a port. Ports are
// opened exclusively (share mode 0) and without overlap.
#pragma once

#include <windows.h>

#include <cstddef>

#include "serial_port.h"

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

// The number of the COM port that the open of name reaches, as
// port_held_already judges a name (com10. and \\.\COM10 are 10, sub\COM1
// is 1), following a device name that leads to a port (AUX to COM1) a few
// steps; 0 when it reaches none that a COM name tells.
long com_number_of(const char *name);
