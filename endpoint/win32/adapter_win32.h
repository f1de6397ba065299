// The USB adapter behind a COM port, as the registry knows it: the device
// instance under HKLM\SYSTEM\CurrentControlSet\Enum whose Device Parameters
// hold the port's name (USB\VID_1A86&PID_7523\..., FTDIBUS\VID_0403+PID_6001
// +A50285BIA\0000). SetupAPI shows the same values; under Wine only the
// registry answers.
#pragma once

#include <cstdint>

#include "uart.h"

// What the registry holds of an adapter: its USB ids, and the device's own
// name as the user knows it, without the " (COM3)" that Windows appends
// and without the "@oem12.inf,%id%;" reference that a DeviceDesc may hold;
// empty where it has none.
struct usb_adapter {
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    wchar_t name[256];
};

// Finds the adapter whose device instance names the port COM<number>.
// Returns true with *found filled; false when no device instance with USB
// ids names that port (a built-in port, a virtual one).
bool find_usb_adapter(long number, usb_adapter *found);

// Returns the UART of the port COM<number>, for the pause at its close and
// the stall notice: the chip that its adapter's ids name (its buffer only:
// no Windows driver is known to wait for its chip), else a 16550.
uart_rules port_uart(long number);
