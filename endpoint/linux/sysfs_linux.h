// Reading Linux's sysfs: one-line attributes, where links lead, and the
// driver that claims a device.
#pragma once

#include <cstddef>

// Reads the one-line attribute at path into text, its line end dropped.
// Returns false, text empty, when there is none.
bool read_attribute(const char *path, char *text, std::size_t size);

// Writes the last component of the target of the link at path into name.
// Returns false, name empty, when path is no link.
bool link_name(const char *path, char *name, std::size_t size);

// Writes into driver the name of the driver that claims the device whose
// sysfs directory is device, and leaves device naming the directory of
// the device that driver claims. Since Linux 6.5 the serial core puts its
// own devices, whose drivers are "port" and "ctrl", between a tty and its
// UART; they are passed over. Returns false when no driver is found.
bool device_driver(char *device, std::size_t size, char *driver, std::size_t driver_size);
