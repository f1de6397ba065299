// Serial ports over POSIX calls: the operations of serial_port.h, and the
// device that a COM name stands for. A drain that a stalled line holds up
// is told after stall_notice_ms beyond the chip's buffer time, as a write
// is.
#pragma once

#include <cstddef>

#include "serial_port.h"

// Writes the device path of a COM name: COMn, n a decimal number from 1 with
// no leading zero, is /dev/ttyS(n-1). Returns false, writing nothing useful,
// when the name names no port.
bool com_device_path(const char *name, char *path, std::size_t size);
