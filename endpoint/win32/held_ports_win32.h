// The ports that this run holds (at most its two ends), and giving up
// their unsent output when Ctrl-C, Ctrl-Break or a closed console ends the
// run: the console handler runs on a thread of its own.
#pragma once

#include <windows.h>

#include "endpoint.h"

// Notes h, an open port called name that kept what kept says of its
// settings, as the run's; the first time, also installs the console handler.
void hold_port(HANDLE h, const char *name, const kept_settings &kept);

// The name of the port h, or null when h is no port of this run.
const char *held_port_name(HANDLE h);

// The name of the port held in slot (0 or 1), or null when none is.
const char *held_port_name_at(int slot);

// What the port h kept of its settings; all zero for no port of this run.
kept_settings held_port_kept(HANDLE h);

// Forgets h, which Ctrl-C then no longer purges: the last step before its
// close.
void forget_port(HANDLE h);
