// What this run holds (at most its two ends, disk files and ports), and
// giving up the ports' unsent output when Ctrl-C, Ctrl-Break or a closed
// console ends the run: the console handler runs on a thread of its own.
// An end is noted as it is opened and forgotten as it is closed.
#pragma once

#include <windows.h>

#include "endpoint.h"

// The identity of a file: the same for every path that leads to it (an 8.3
// short name, a \\?\ path, a link), as device and inode are on POSIX.
struct file_identity {
    DWORD volume, index_high, index_low;
};

// Returns true with *id set when the system tells h's identity.
bool identity_of(HANDLE h, file_identity *id);

// Notes h as an end of this run: a port called port_name that kept what
// kept says of its settings, or a disk file when port_name is null. The
// first port also has the console handler installed.
void hold_end(HANDLE h, const char *port_name, const kept_settings &kept);

// True when this run holds the file id already, as its other end.
bool held_by_run(const file_identity &id);

// The name of the port h, or null when h is no port of this run.
const char *held_port_name(HANDLE h);

// The name of the port held in slot (0 or 1), or null when none is.
const char *held_port_name_at(int slot);

// What the port h kept of its settings; all zero for no port of this run.
kept_settings held_port_kept(HANDLE h);

// Forgets h, which Ctrl-C then no longer purges: the last step before its
// close.
void forget_end(HANDLE h);
