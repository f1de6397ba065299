// Which UART a Linux terminal device has: what sysfs tells of it (the
// driver that claims it, and the descriptor of the USB device that it
// belongs to), what TIOCGSERIAL tells (the port type and base rate of a
// serial-core UART) and the kernel's release, read here and judged by the
// uart module.
#include <linux/serial.h>
#include <linux/serial_core.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>

#include "sysfs_linux.h"
#include "system_posix.h"
#include "uart.h"

static_assert(uart_port_8250 == PORT_8250 && uart_port_16450 == PORT_16450 &&
              uart_port_16550 == PORT_16550 && uart_port_16550a == PORT_16550A &&
              uart_port_amba == PORT_AMBA);

namespace {

// Returns the number in the attribute name of the sysfs directory dir,
// read in base, or 0 when there is none.
long read_number(const char *dir, const char *name, int base)
{
    char path[640], text[32];
    std::snprintf(path, sizeof path, "%s/%s", dir, name);
    if (!read_attribute(path, text, sizeof text)) return 0;
    return std::strtol(text, nullptr, base);
}

// The USB release that the attribute "version" of the USB device dir shows
// as bcdUSB prints (" 1.10", " 2.00"), as bcdUSB itself, or 0.
std::uint16_t read_bcd_usb(const char *dir)
{
    char path[640], text[32];
    std::snprintf(path, sizeof path, "%s/version", dir);
    if (!read_attribute(path, text, sizeof text)) return 0;
    char *dot = nullptr;
    const long major_part = std::strtol(text, &dot, 16);
    if (*dot != '.') return 0;
    return static_cast<std::uint16_t>(major_part << 8 | std::strtol(dot + 1, nullptr, 16));
}

}  // namespace

uart_rules uart_rules_of(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return {uart_unknown, 0};
    char device[600];
    std::snprintf(device, sizeof device, "/sys/dev/char/%u:%u/device", major(st.st_rdev),
                  minor(st.st_rdev));
    char driver[128];
    if (!device_driver(device, sizeof device, driver, sizeof driver)) return {uart_unknown, 0};
    uart_facts facts;
    facts.driver = driver;
    // The USB device lies above the port's: two levels for a USB serial
    // port (the port, its interface), one for cdc-acm (the interface).
    char usb_device[620];
    std::snprintf(usb_device, sizeof usb_device, "%s/..", device);
    if (read_number(usb_device, "idVendor", 16) == 0)
        std::snprintf(usb_device, sizeof usb_device, "%s/../..", device);
    facts.vendor_id = static_cast<std::uint16_t>(read_number(usb_device, "idVendor", 16));
    facts.product_id = static_cast<std::uint16_t>(read_number(usb_device, "idProduct", 16));
    facts.bcd_device = static_cast<std::uint16_t>(read_number(usb_device, "bcdDevice", 16));
    facts.bcd_usb = read_bcd_usb(usb_device);
    facts.device_class = static_cast<int>(read_number(usb_device, "bDeviceClass", 16));
    facts.max_packet_size0 = static_cast<int>(read_number(usb_device, "bMaxPacketSize0", 10));
    serial_struct info;
    if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
        facts.port_type = info.type;
        facts.baud_base = info.baud_base;
    }
    utsname names;
    if (uname(&names) == 0) facts.kernel_release = names.release;
    return uart_rules_from(facts);
}
