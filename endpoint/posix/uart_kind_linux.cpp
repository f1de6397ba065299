// Which UART a Linux terminal device has, told from sysfs (the driver that
// claims it, and for FTDI's adapters the chip's release number) and from
// TIOCGSERIAL (the port type and base rate of a serial-core UART).
#include <linux/serial.h>
#include <linux/serial_core.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "sysfs_linux.h"
#include "uart_rate.h"

namespace {

constexpr uart_rules unknown_uart = {uart_unknown, 0};

// Returns the hexadecimal number in the sysfs file at path, or -1.
long read_hex(const char *path)
{
    char text[32];
    if (!read_attribute(path, text, sizeof text)) return -1;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 16);
    return end != text ? value : -1;
}

// An FTDI adapter, told as ftdi_sio tells it, by the USB device's bcdDevice
// two levels above its port (the port, its interface, the device). The SIO,
// the FT232A and chips unknown to this table keep their rules unknown.
uart_rules ftdi_rules(const char *port_device)
{
    char path[600];
    std::snprintf(path, sizeof path, "%s/../../bcdDevice", port_device);
    switch (read_hex(path)) {
    case 0x400:
    case 0x500:
    case 0x600:
    case 0x1000: return {uart_ftdi_bm, 48000000};
    case 0x700:
    case 0x800:
    case 0x900:
    case 0x2800:
    case 0x2900:
    case 0x3000:
    case 0x3100:
    case 0x3200:
    case 0x3300:
    case 0x3600: return {uart_ftdi_h, 120000000};
    default: return unknown_uart;
    }
}

// The 8250 drivers that divide by a whole number as the 8250 core does:
// the legacy ports, PNP and PCI ports and plain device-tree ones. Other
// 8250 drivers (8250_dw, 8250_exar, 8250_lpss...) have divisors of their own.
bool plain_8250_driver(const char *driver)
{
    for (const char *name : {"serial8250", "serial", "of_serial"})
        if (std::strcmp(driver, name) == 0) return true;
    return false;
}

bool plain_16550_type(int type)
{
    return type == PORT_8250 || type == PORT_16450 || type == PORT_16550 || type == PORT_16550A;
}

}  // namespace

uart_rules uart_rules_of(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return unknown_uart;
    char device[600];
    std::snprintf(device, sizeof device, "/sys/dev/char/%u:%u/device", major(st.st_rdev),
                  minor(st.st_rdev));
    char driver[128];
    if (!device_driver(device, sizeof device, driver, sizeof driver)) return unknown_uart;
    if (std::strcmp(driver, "ftdi_sio") == 0) return ftdi_rules(device);
    serial_struct info;
    // ioctl: 0 on success, -1 on failure.
    if (ioctl(fd, TIOCGSERIAL, &info) != 0 || info.baud_base <= 0) return unknown_uart;
    const std::int64_t clock = 16LL * info.baud_base;
    if (plain_8250_driver(driver) && plain_16550_type(info.type)) return {uart_16550, clock};
    if (std::strcmp(driver, "uart-pl011") == 0 && info.type == PORT_AMBA) return {uart_pl011, clock};
    return unknown_uart;
}
