// The portable reason text (reason_text.cpp): what it asks of the
// platform's file (posix/reason_posix.cpp, win32/reason_win32.cpp), and the
// notice that both platforms' ports give.
#pragma once

#include <cstddef>

#include "endpoint.h"

// Writes the system's text for f.code, without a line end; for a failure
// with no code, a text of its own.
void system_reason(const endpoint_failure &f, char *text, std::size_t size);

// Writes the hint that this platform gives for f on the endpoint called
// name, beginning "; ", or nothing.
void platform_hint(const endpoint_failure &f, const char *name, char *hint, std::size_t size);

// Says on standard error, once in a run, that the port called name has
// taken no data for stall_notice_ms (the far end not ready, or no handshake
// lines), and that the wait goes on. Later calls print nothing.
void tell_stalled(const char *name);
