// Serial ports over kernel32: opening and taking a port for the run,
// reading, writing, and the drain and release at close. Ports are opened
// exclusively (share mode 0) and without overlap.
#pragma once

#include <windows.h>

#include <cstdint>

#include "endpoint.h"

// Opens path for reading and writing, exclusively, as a port is opened.
// Returns the handle, or INVALID_HANDLE_VALUE with GetLastError() set.
HANDLE open_device(const wchar_t *path);

// True when h, an open device, has line settings: a communications device.
bool has_line_settings(HANDLE h);

// True when the DOS device name that path ends in (COM1, AUX, com10:,
// \\.\COM1) leads to the device of a port that this run holds. A port is
// held exclusively, so Windows would refuse the second open as if another
// program held it; Wine would grant it, and the run would wait on itself.
bool port_held_already(const wchar_t *path);

// Opens the port COMn, spelled name (name_w as wide characters), through
// \\.\COMn, which also reaches ports above COM9; the colon of the spelling
// COM1: is dropped. Returns the port, or INVALID_HANDLE_VALUE with the
// failure noted.
HANDLE com_open(const wchar_t *name_w, const char *name, std::int32_t baud_rate);

// Configures h, an open communications device called name, and takes it
// as a port of this run (Ctrl-C then purges it). Returns h, or
// INVALID_HANDLE_VALUE with h closed and the failure noted.
HANDLE port_take(HANDLE h, const char *name, std::int32_t baud_rate);

// Reads from a port: the first read waits without limit, later ones return
// 0 after 2 s of silence. Returns the count read, 0 at the end, or -1 with
// the failure noted: a hang-up when the port went away.
std::int32_t port_read(HANDLE h, void *buffer, std::int32_t count);

// Writes all count bytes to the port h, waiting as long as the line needs;
// when it has taken nothing for 5 s (CTS off) says so once on standard
// error, and waits on. Returns count, or -1 with the failure noted.
std::int32_t port_write(HANDLE h, const void *buffer, std::int32_t count);

// Waits until all output has been sent, then 100 ms more, and closes the
// port. Returns false, with the failure noted, when the port could not
// tell or went away meanwhile, or the close failed; closed either way.
bool port_close(HANDLE h);
