// The serial ports present, read from the system's device tables.
#pragma once

#include "endpoint.h"

// list_ports over a system whose sysfs is mounted at sys and whose device
// nodes are under dev ("/sys" and "/dev" on a running system).
int list_ports_under(const char *sys, const char *dev, port_listing *ports, int max);
