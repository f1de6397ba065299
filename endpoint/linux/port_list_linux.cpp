// The serial ports present on Linux, from sysfs alone: every terminal of
// /sys/class/tty with a device behind it, but virtual consoles and 8250
// slots with no UART behind them, with what sysfs tells of its UART or USB
// device and its driver, and the stable name under /dev/serial/by-id.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial_core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system_posix.h"
#include "sysfs_linux.h"

namespace {

constexpr std::size_t name_size = 64;

// Cuts path at its last "/", leaving its directory. Returns false at the top.
bool to_parent(char *path)
{
    char *slash = std::strrchr(path, '/');
    if (!slash || slash == path) return false;
    *slash = '\0';
    return true;
}

// Appends "  " and text to line, when text is not empty.
void append(char *line, std::size_t size, const char *text)
{
    const std::size_t used = std::strlen(line);
    if (text[0] != '\0' && used < size) std::snprintf(line + used, size - used, "  %s", text);
}

// What the USB device above dir (resolved) tells of itself: vendor and
// product id, manufacturer, product and serial number. Nothing for a
// device on no USB bus.
void append_usb(char *line, std::size_t size, const char *dir)
{
    char at[PATH_MAX], path[PATH_MAX + 16], vendor[16], product_id[16];
    std::snprintf(at, sizeof at, "%s", dir);
    for (int depth = 0; depth < 6; ++depth) {
        std::snprintf(path, sizeof path, "%s/idVendor", at);
        if (read_attribute(path, vendor, sizeof vendor)) break;
        if (!to_parent(at)) return;
    }
    if (vendor[0] == '\0') return;
    std::snprintf(path, sizeof path, "%s/idProduct", at);
    read_attribute(path, product_id, sizeof product_id);
    char text[300];
    std::snprintf(text, sizeof text, "USB %s:%s", vendor, product_id);
    append(line, size, text);
    const char *const fields[] = {"manufacturer", "product", "serial"};
    for (const char *field : fields) {
        std::snprintf(path, sizeof path, "%s/%s", at, field);
        if (!read_attribute(path, text + 7, sizeof text - 7)) continue;
        if (field == fields[2]) {
            std::memcpy(text, "serial ", 7);
            append(line, size, text);
        } else {
            append(line, size, text + 7);
        }
    }
}

// The name of a UART type that the serial core reports, or null for one
// this listing does not name.
const char *uart_type_name(int type)
{
    struct named {
        int type;
        const char *name;
    };
    static constexpr named names[] = {
        {PORT_8250, "8250"},       {PORT_16450, "16450"},       {PORT_16550, "16550"},
        {PORT_16550A, "16550A"},   {PORT_16650, "16650"},       {PORT_16650V2, "16650V2"},
        {PORT_16750, "16750"},     {PORT_16C950, "16C950"},     {PORT_16654, "16654"},
        {PORT_16850, "16850"},     {PORT_NS16550A, "NS16550A"}, {PORT_AMBA, "PL011"},
    };
    for (const named &n : names)
        if (n.type == type) return n.name;
    return nullptr;
}

// Appends the stable names under dev/serial/by-id that lead to tty.
void append_by_id(char *line, std::size_t size, const char *dev, const char *tty)
{
    char dir[PATH_MAX], path[PATH_MAX + name_size * 4], target[name_size];
    std::snprintf(dir, sizeof dir, "%s/serial/by-id", dev);
    DIR *d = opendir(dir);
    if (!d) return;
    while (const dirent *e = readdir(d)) {
        std::snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        if (!link_name(path, target, sizeof target) || std::strcmp(target, tty) != 0) continue;
        std::snprintf(path, sizeof path, "/dev/serial/by-id/%s", e->d_name);
        append(line, size, path);
    }
    closedir(d);
}

// A virtual console (tty0, tty1, ...) or a hypervisor's console: a
// terminal, but no serial line.
bool is_console(const char *tty)
{
    if (std::strncmp(tty, "hvc", 3) == 0) return true;
    if (std::strncmp(tty, "tty", 3) != 0 || tty[3] == '\0') return false;
    for (const char *p = tty + 3; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

// True when the terminal tty, listed in the directory class_tty, has a
// device behind it.
bool has_device(const char *class_tty, const char *tty)
{
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/%s/device", class_tty, tty);
    struct stat st;
    return lstat(path, &st) == 0;
}

// Fills *port for the terminal tty under sys, or returns false when tty is
// no serial port present.
bool describe(const char *sys, const char *dev, const char *tty, port_listing *port)
{
    char path[PATH_MAX], device[PATH_MAX], text[name_size + 16];
    std::snprintf(path, sizeof path, "%s/class/tty/%s/device", sys, tty);
    // realpath: the resolved path, or null (no device behind the terminal).
    if (is_console(tty) || !realpath(path, device)) return false;
    std::snprintf(path, sizeof path, "%s/class/tty/%s/type", sys, tty);
    const bool has_type = read_attribute(path, text, sizeof text);
    const int type = has_type ? std::atoi(text) : PORT_UNKNOWN;
    const bool ttys = std::strncmp(tty, "ttyS", 4) == 0;
    // An 8250 slot that found no UART reports the type 0.
    if (ttys && has_type && type == PORT_UNKNOWN) return false;
    std::snprintf(port->text, sizeof port->text, "/dev/%s", tty);
    const std::size_t size = sizeof port->text;
    if (ttys) {
        std::snprintf(text, sizeof text, "COM%ld", std::strtol(tty + 4, nullptr, 10) + 1);
        append(port->text, size, text);
    }
    const char *uart = uart_type_name(type);
    if (uart) append(port->text, size, uart);
    append_usb(port->text, size, device);
    char driver[name_size];
    if (device_driver(device, sizeof device, driver, sizeof driver)) {
        std::snprintf(text, sizeof text, "driver %s", driver);
        append(port->text, size, text);
    }
    append_by_id(port->text, size, dev, tty);
    return true;
}

// Orders names as people count them: ttyS2 before ttyS10.
bool comes_before(const char *a, const char *b)
{
    std::size_t i = 0;
    while (a[i] && a[i] == b[i] && (a[i] < '0' || a[i] > '9')) ++i;
    const bool digit_a = a[i] >= '0' && a[i] <= '9', digit_b = b[i] >= '0' && b[i] <= '9';
    if (digit_a && digit_b) {
        const long na = std::strtol(a + i, nullptr, 10), nb = std::strtol(b + i, nullptr, 10);
        if (na != nb) return na < nb;
    }
    return std::strcmp(a, b) < 0;
}

}  // namespace

int list_ports_under(const char *sys, const char *dev, port_listing *ports, int max)
{
    static char names[most_ports_listed][name_size];
    int count = 0;
    char dir[PATH_MAX];
    std::snprintf(dir, sizeof dir, "%s/class/tty", sys);
    DIR *d = opendir(dir);
    if (!d) return 0;
    while (const dirent *e = readdir(d)) {
        // Consoles and terminals with no device behind them never take room
        // that a port needs: a system has dozens of virtual consoles.
        if (e->d_name[0] == '.' || std::strlen(e->d_name) >= name_size || is_console(e->d_name) ||
            !has_device(dir, e->d_name))
            continue;
        // Insertion keeps the names in order as they come; when the room is
        // full, the name that comes last in that order drops out.
        if (count == most_ports_listed && !comes_before(e->d_name, names[count - 1])) continue;
        int at = count < most_ports_listed ? count++ : count - 1;
        for (; at > 0 && comes_before(e->d_name, names[at - 1]); --at)
            std::memcpy(names[at], names[at - 1], name_size);
        // Shorter than name_size, as the test above made sure.
        std::memcpy(names[at], e->d_name, std::strlen(e->d_name) + 1);
    }
    closedir(d);
    int listed = 0;
    for (int i = 0; i < count && listed < max; ++i)
        if (describe(sys, dev, names[i], &ports[listed])) ++listed;
    return listed;
}

int list_ports(port_listing *ports, int max)
{
    return list_ports_under("/sys", "/dev", ports, max);
}
