// The ports this run holds, where the console handler finds them to give
// up their unsent output when Ctrl-C, Ctrl-Break or a closed console ends
// the run (the handler runs on a thread of its own); and the identity of
// files, by which a file named as both ends is told.
#pragma once

#include <windows.h>

#include "endpoint.h"

// True when h and other's handle are the same file: the same for every path
// that leads to it (an 8.3 short name, a \\?\ path, a link), as device and
// inode are on POSIX. False where either identity cannot be had.
bool is_other_end(HANDLE h, const endpoint *other);

// Notes the port h where the console handler finds it; the first port also
// has the handler installed.
void hold_port(HANDLE h);

// Forgets the port h, which Ctrl-C then no longer purges: the last step
// before its close.
void forget_port(HANDLE h);

// Returns at once, unless Ctrl-C, Ctrl-Break or a closed console has begun
// to end the run: the calling thread then waits for the system to end the
// process, so that what the console handler cancelled or purged is told as
// neither a failure (a port that went away) nor a finished transfer.
void stop_if_ending();
