// The line settings of a port over kernel32: the device-control record
// (DCB) and the time-outs that make a receive end.
#pragma once

#include <windows.h>

#include <cstdint>

#include "endpoint.h"

// Applies the line settings at baud_rate (7 data bits at exactly 115200, 8
// at any other rate, no parity, one stop bit, RTS/CTS handshake, no
// XON/XOFF, no abort on errors) and the time-outs: reads wait without limit for the first byte,
// and a write returns after progress_check_ms at the latest. A rate that
// the driver's own list of rates rules out is refused before anything is
// applied; otherwise the state is read back: a rate the port does not make
// refuses it; data bits and a handshake it kept are filled into *kept, and
// not refused. Returns false with the failure noted, and the line settings
// and time-outs found at the open put back (the port has seen those asked
// for a moment; under Wine a pseudo-terminal stays in raw mode).
bool configure_port(HANDLE h, std::int32_t baud_rate, kept_settings *kept);

// From the first data on, a read ends after quiet_end_ms of silence.
void end_input_on_silence(HANDLE h);
