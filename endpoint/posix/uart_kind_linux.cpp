// Which UART a Linux terminal device has, told from sysfs (the driver that
// claims it, and for FTDI's adapters the chip's release number) and from
// TIOCGSERIAL (the port type and base rate of a serial-core UART).
#include <fcntl.h>
#include <linux/serial.h>
#include <linux/serial_core.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "uart_rate.h"

namespace {

constexpr uart_rules unknown_uart = {uart_unknown, 0};

// Writes the last component of the target of the link at path into name.
// Returns false, name undefined, when path is no link.
bool link_name(const char *path, char *name, std::size_t size)
{
    char target[512];
    // readlink: the length of the target, not terminated, or -1.
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const char *slash = std::strrchr(target, '/');
    std::snprintf(name, size, "%s", slash ? slash + 1 : target);
    return true;
}

// Writes into driver the name of the driver that claims the UART behind
// device, a sysfs device directory, and leaves device naming that UART's
// directory. Since Linux 6.5 the serial core puts its own devices, whose
// drivers are "port" and "ctrl", between a tty and its UART; they are
// passed over. Returns false when no driver is found.
bool uart_driver(char *device, std::size_t size, char *driver, std::size_t driver_size)
{
    for (int depth = 0; depth < 3; ++depth) {
        char link[600];
        std::snprintf(link, sizeof link, "%s/driver", device);
        if (!link_name(link, driver, driver_size)) return false;
        if (std::strcmp(driver, "port") != 0 && std::strcmp(driver, "ctrl") != 0) return true;
        const std::size_t used = std::strlen(device);
        if (used + 4 > size) return false;
        std::memcpy(device + used, "/..", 4);
    }
    return false;
}

// Returns the hexadecimal number in the sysfs file at path, or -1.
long read_hex(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[32];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return -1;
    text[n] = '\0';
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
    if (!uart_driver(device, sizeof device, driver, sizeof driver)) return unknown_uart;
    if (std::strcmp(driver, "ftdi_sio") == 0) return ftdi_rules(device);
    serial_struct info;
    // ioctl: 0 on success, -1 on failure.
    if (ioctl(fd, TIOCGSERIAL, &info) != 0 || info.baud_base <= 0) return unknown_uart;
    const std::int64_t clock = 16LL * info.baud_base;
    if (plain_8250_driver(driver) && plain_16550_type(info.type)) return {uart_16550, clock};
    if (std::strcmp(driver, "uart-pl011") == 0 && info.type == PORT_AMBA) return {uart_pl011, clock};
    return unknown_uart;
}
