// Serial ports over kernel32: the operations of serial_port.h (a COM name
// is opened through \\.\COMn, which also reaches ports above COM9, its
// closing colon dropped), and what the Windows endpoint needs to tell a
// port. Ports are opened exclusively (share mode 0) and without overlap.
#pragma once

#include <windows.h>

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

// True when the DOS device name that path ends in (COM1, AUX, com10:,
// \\.\COM1) leads to the device of the port other. A port is held
// exclusively, so Windows would refuse the second open as if another
// program held it; Wine would grant it, and the run would wait on itself.
bool port_held_already(const wchar_t *path, const endpoint *other);
