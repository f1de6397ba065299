// Which UART a Linux terminal device has, told from sysfs (the driver that
// claims it, and for FTDI's and Prolific's adapters what the USB device
// says of itself) and from TIOCGSERIAL (the port type and base rate of a
// serial-core UART).
#include <linux/serial.h>
#include <linux/serial_core.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

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

// A PL2303, told as pl2303 tells its type from the USB device descriptor:
// bDeviceClass, bMaxPacketSize0, bcdUSB and bcdDevice. The driver tells a
// TA or TB from a G of the same release by asking the chip, which sysfs
// does not show: those are taken as the TA and TB, whose divisors are the
// coarser rule and whose highest rate is the lower.
uart_rules pl2303_rules(const char *port_device)
{
    constexpr std::int64_t clock = 12000000;
    char path[600];
    char text[32];
    std::snprintf(path, sizeof path, "%s/../../bDeviceClass", port_device);
    const long device_class = read_hex(path);
    std::snprintf(path, sizeof path, "%s/../../bMaxPacketSize0", port_device);
    const bool legacy = device_class == 2 || !read_attribute(path, text, sizeof text) ||
                        std::strtol(text, nullptr, 10) != 64;
    if (legacy) return {uart_pl2303_h, clock};
    std::snprintf(path, sizeof path, "%s/../../version", port_device);
    if (!read_attribute(path, text, sizeof text)) return unknown_uart;
    const double usb_version = std::strtod(text, nullptr);
    std::snprintf(path, sizeof path, "%s/../../bcdDevice", port_device);
    const long release = read_hex(path);
    if (usb_version < 1.5) return {release == 0x400 ? uart_pl2303_hxd : uart_pl2303_hx, clock};
    if (usb_version != 2.0) return unknown_uart;
    switch (release) {
    case 0x300: return {uart_pl2303_ta, clock};
    case 0x500: return {uart_pl2303_tb, clock};
    case 0x100:
    case 0x105:
    case 0x305:
    case 0x400:
    case 0x405:
    case 0x505:
    case 0x600:
    case 0x605:
    case 0x700:
    case 0x705:
    case 0x905:
    case 0x1005: return {uart_pl2303_g, clock};
    default: return unknown_uart;
    }
}

// True when the running kernel's ch341 writes no flow control to the chip:
// RTS/CTS came to the driver in Linux 6.14.
bool ch341_without_handshake()
{
    utsname names;
    // uname: 0 on success, -1 on failure.
    if (uname(&names) != 0) return false;
    int major = 0, minor = 0;
    if (std::sscanf(names.release, "%d.%d", &major, &minor) != 2) return false;
    return major < 6 || (major == 6 && minor < 14);
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
    if (std::strcmp(driver, "pl2303") == 0) return pl2303_rules(device);
    if (std::strcmp(driver, "ch341-uart") == 0)
        return {uart_ch341, 48000000, ch341_without_handshake()};
    // cp210x works out the rate its part makes and reports that one: its
    // report is trusted, as for the drivers below that are not named.
    serial_struct info;
    // ioctl: 0 on success, -1 on failure.
    if (ioctl(fd, TIOCGSERIAL, &info) != 0 || info.baud_base <= 0) return unknown_uart;
    const std::int64_t clock = 16LL * info.baud_base;
    if (plain_8250_driver(driver) && plain_16550_type(info.type)) return {uart_16550, clock};
    if (std::strcmp(driver, "uart-pl011") == 0 && info.type == PORT_AMBA) return {uart_pl011, clock};
    return unknown_uart;
}
