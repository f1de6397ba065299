// The reasons behind endpoint failures on POSIX: strerror's words, and the
// hints for ports: the device a COM name maps to, where USB adapters
// appear, the access a device lacks and the group that grants it. Names
// are shown as they are.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "reason_text.h"
#include "serial_posix.h"

namespace {

constexpr char usb_names[] =
    "USB adapters appear as /dev/ttyUSB0, /dev/ttyACM0 or under /dev/serial/by-id/";

// Permission denied on a device: which access is missing, and how users
// usually get it (the device's group, on most Linux systems dialout).
void permission_hint(const endpoint_failure &f, const char *device, char *hint, std::size_t size)
{
    const char *missing = !f.lacks_read ? "write" : !f.lacks_write ? "read" : "read and write";
    const char *group = f.granting_group;
    if (group[0] != '\0')
        std::snprintf(hint, size,
                      "; no %s access to %s: users usually get it by joining its group '%s' "
                      "(sudo usermod -aG %s $USER, then log in again)",
                      missing, device, group, group);
    else
        std::snprintf(hint, size, "; no %s access to %s", missing, device);
}

}  // namespace

void system_reason(const endpoint_failure &f, char *text, std::size_t size)
{
    const char *own = f.cause == cause_no_progress ? "the device took no data" : "no such port";
    std::snprintf(text, size, "%s", f.code != 0 ? std::strerror(f.code) : own);
}

void platform_hint(const endpoint_failure &f, const char *name, char *hint, std::size_t size)
{
    char path[32] = "";
    const bool com = std::strncmp(name, "COM", 3) == 0;
    const char *device = com ? (com_device_path(name, path, sizeof path) ? path : "") : name;
    if (f.cause == cause_no_such_port && !com)
        std::snprintf(hint, size, "; %s", usb_names);
    else if (f.cause == cause_no_such_port && *device)
        std::snprintf(hint, size, "; %s is %s, and %s", name, device, usb_names);
    else if (f.cause == cause_no_such_port)
        std::snprintf(hint, size, "; COM1 is /dev/ttyS0, COM2 is /dev/ttyS1 and so on, and %s",
                      usb_names);
    else if (f.cause == cause_hung_up)
        std::snprintf(hint, size, "; the port hung up (unplugged, or the line dropped)");
    else if (f.cause == cause_system && (f.lacks_read || f.lacks_write))
        permission_hint(f, device, hint, size);
}

const char *shown_name(const char *name)
{
    return name;
}
